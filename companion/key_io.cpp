#include "key_io.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <openssl/evp.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>


int read_key_file(const char *pPath, unsigned char *szKey, size_t *pnFileSize)
{
    unsigned char rsaKey[KEY_FILE_SIZE] = {};
    FILE *fp = fopen(pPath, "rb");
    if (fp == nullptr) {
        return 1;
    }
    setvbuf(fp, nullptr, _IONBF, 0);
    size_t nRead = fread(rsaKey, 1, sizeof(rsaKey), fp);
    bool bFailed = ferror(fp) != 0;
    bFailed = fclose(fp) != 0 || bFailed;
    build_key_blob(szKey, rsaKey);
    explicit_bzero(rsaKey, sizeof(rsaKey));
    *pnFileSize = nRead;
    return bFailed ? 1 : 0;
}

void public_fingerprint(const unsigned char *pPublic, char *szHex)
{
    unsigned char digest[SHA256_SIZE] = {};
    unsigned int nDigest = 0;
    EVP_Digest(pPublic, 2 * RSA_FIELD_SIZE, digest, &nDigest, EVP_sha256(), nullptr);
    for (int i = 0; i < SHA256_SIZE; i++) {
        snprintf(szHex + 2 * i, 3, "%02x", digest[i]);
    }
    szHex[2 * SHA256_SIZE] = '\0';
}

bool print_help_or_version(int argc, char **argv, const char *pTool, const char *pHelp)
{
    if (argc >= 2 && strcmp(argv[1], "--help") == 0) {
        printf("%s", pHelp);
        return true;
    }
    if (argc >= 2 && strcmp(argv[1], "--version") == 0) {
        printf("%s %s\n", pTool, TOOLS_VERSION);
        return true;
    }
    return false;
}

bool same_file(const char *pPathA, const char *pPathB)
{
    struct stat a;
    struct stat b;
    return stat(pPathA, &a) == 0 && stat(pPathB, &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}
