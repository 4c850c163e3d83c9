// verify_tool: checks a signed image with the public key it stores, prints its
// map, and can compare it with the original or restore its SPL window.
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <sys/stat.h>

#include "byte_order.h"
#include "key_io.h"
#include "output_file.h"

namespace {

constexpr int HEAD_SIZE = 2 * SI_WINDOW_SIZE;
constexpr int MESSAGE_SIZE = 512;
constexpr size_t COMPARE_PIECE = 64 * 1024;
constexpr int MAX_FAILURES = 8;               // failure lines kept for the report

const char *const USAGE =
    "Usage: verify_tool [--key SIGN.key] [--original IN.img] [--restore OUT.img] [--json] IMAGE\n";

const char *const HELP =
    "verify_tool: check a signed image with the public key it stores.\n"
    "\n"
    "  --key SIGN.key      the stored signing key must be this key file's public half\n"
    "  --original IN.img   the restored SPL window and the tail must be the original's\n"
    "  --restore OUT.img   write the image with its SPL window restored\n"
    "  --json              print the map and results as one JSON object\n"
    "\n"
    "Exit status: 0 every check passed, 1 a check failed, 2 a usage or file error.\n";

struct VerifyOptions {
    const char *pKey;
    const char *pOriginal;
    const char *pRestore;
    const char *pImage;
    bool bJson;
};

enum Check { CHECK_NOT_ASKED, CHECK_PASSED, CHECK_FAILED };

// What was found in the image and how each check ended.
struct Report {
    long long nImageSize;
    RSA_ENC_BLK blocks[SI_BLOCK_COUNT];
    bool bTableValid;
    bool bRestored[SI_BLOCK_COUNT];
    int nSignBits;
    int nCommBits;
    char szSignFingerprint[FINGERPRINT_HEX_SIZE];
    char szCommFingerprint[FINGERPRINT_HEX_SIZE];
    Check keyCheck;
    Check originalCheck;
    Check restoreCheck;
    int nFailures;
    char szFailures[MAX_FAILURES][MESSAGE_SIZE];
};

// Counts a failed check and keeps its one-line message (cut to MESSAGE_SIZE).
void add_failure(Report *pReport, const char *pMessage)
{
    if (pReport->nFailures < MAX_FAILURES) {
        size_t nLen = strnlen(pMessage, MESSAGE_SIZE - 1);
        memcpy(pReport->szFailures[pReport->nFailures], pMessage, nLen);
        pReport->szFailures[pReport->nFailures][nLen] = '\0';
    }
    pReport->nFailures++;
}

// Parses the options and the one image name. Returns false on anything else.
bool parse_options(int argc, char **argv, VerifyOptions *pOpts)
{
    *pOpts = VerifyOptions{nullptr, nullptr, nullptr, nullptr, false};
    for (int i = 1; i < argc; i++) {
        const char **ppValue = nullptr;
        if (strcmp(argv[i], "--json") == 0) {
            pOpts->bJson = true;
            continue;
        }
        if (strcmp(argv[i], "--key") == 0) {
            ppValue = &pOpts->pKey;
        } else if (strcmp(argv[i], "--original") == 0) {
            ppValue = &pOpts->pOriginal;
        } else if (strcmp(argv[i], "--restore") == 0) {
            ppValue = &pOpts->pRestore;
        } else if (argv[i][0] == '-' || pOpts->pImage != nullptr) {
            return false;
        } else {
            pOpts->pImage = argv[i];
            continue;
        }
        if (i + 1 >= argc) {
            return false;
        }
        *ppValue = argv[++i];
    }
    return pOpts->pImage != nullptr;
}

// Reads the first 32 KiB of the image. Returns false when it cannot be read
// or is shorter.
bool read_head(const char *pPath, unsigned char *szHead, long long *pnSize)
{
    FILE *fp = fopen(pPath, "rb");
    if (fp == nullptr) {
        return false;
    }
    struct stat st;
    bool bOk = fstat(fileno(fp), &st) == 0 && fread(szHead, 1, HEAD_SIZE, fp) == static_cast<size_t>(HEAD_SIZE);
    *pnSize = st.st_size;
    return fclose(fp) == 0 && bOk;
}

// Restores the SPL window in place: blocks undone, last bytes put back.
// Records each block's result in the report.
void restore_window(unsigned char *szSpl, const unsigned char *pSignPublic, Report *pReport, const char *pImage)
{
    for (int i = 0; i < SI_BLOCK_COUNT; i++) {
        const RSA_ENC_BLK &blk = pReport->blocks[i];
        pReport->bRestored[i] = si_restore_block(szSpl, &blk, pSignPublic) == SI_OK;
        if (!pReport->bRestored[i]) {
            char szMessage[MESSAGE_SIZE];
            snprintf(szMessage, MESSAGE_SIZE, "Block %d (offset %d) does not restore with the stored signing key: %s",
                     i, blk.nEncStartAddr, pImage);
            add_failure(pReport, szMessage);
            continue;
        }
    }
}

// Compares both files from nOffset to their ends. Returns the first offset
// where they differ (or one ends), -1 when equal, -2 on a read error.
long long compare_from(FILE *fpA, FILE *fpB, long long nOffset)
{
    if (fseeko(fpA, nOffset, SEEK_SET) != 0 || fseeko(fpB, nOffset, SEEK_SET) != 0) {
        return -2;
    }
    static unsigned char szA[COMPARE_PIECE];
    static unsigned char szB[COMPARE_PIECE];
    for (;;) {
        size_t nA = fread(szA, 1, COMPARE_PIECE, fpA);
        size_t nB = fread(szB, 1, COMPARE_PIECE, fpB);
        if (ferror(fpA) || ferror(fpB)) {
            return -2;
        }
        size_t nSame = 0;
        while (nSame < nA && nSame < nB && szA[nSame] == szB[nSame]) {
            nSame++;
        }
        if (nSame < nA || nSame < nB) {
            return nOffset + static_cast<long long>(nSame);
        }
        if (nA == 0) {
            return -1;
        }
        nOffset += static_cast<long long>(nA);
    }
}

// True when nOffset of the SPL window is one of the table's keep offsets.
bool is_keep_offset(const Report &report, int nOffset)
{
    for (const RSA_ENC_BLK &blk : report.blocks) {
        if (blk.nKeepAddr == nOffset) {
            return true;
        }
    }
    return false;
}

// --original: the restored window and the tail against the original image.
// Returns false on a file error.
bool check_original(const VerifyOptions &opts, const unsigned char *szRestored, Report *pReport)
{
    FILE *fpOrig = fopen(opts.pOriginal, "rb");
    FILE *fpImage = fopen(opts.pImage, "rb");
    unsigned char szOrig[SI_WINDOW_SIZE] = {};
    bool bRead = fpOrig != nullptr && fpImage != nullptr;
    bRead = bRead && (fread(szOrig, 1, SI_WINDOW_SIZE, fpOrig) == static_cast<size_t>(SI_WINDOW_SIZE) || !ferror(fpOrig));
    long long nTail = bRead ? compare_from(fpOrig, fpImage, SI_TAIL_OFFSET) : -2;
    bool bClosed = (fpOrig == nullptr || fclose(fpOrig) == 0) && (fpImage == nullptr || fclose(fpImage) == 0);
    if (nTail == -2 || !bClosed) {
        return false;
    }
    char szMessage[MESSAGE_SIZE];
    pReport->originalCheck = CHECK_PASSED;
    for (int i = 0; i < SI_WINDOW_SIZE; i++) {
        if (szRestored[i] != szOrig[i] && !is_keep_offset(*pReport, i)) {
            snprintf(szMessage, MESSAGE_SIZE, "SPL window differs from the original at offset %d: %s", i, opts.pImage);
            add_failure(pReport, szMessage);
            pReport->originalCheck = CHECK_FAILED;
            break;
        }
    }
    if (nTail >= 0) {
        snprintf(szMessage, MESSAGE_SIZE, "Tail differs from the original at offset %lld: %s", nTail, opts.pImage);
        add_failure(pReport, szMessage);
        pReport->originalCheck = CHECK_FAILED;
    }
    return true;
}

// --key: the stored signing public half must be the key file's.
bool check_key(const VerifyOptions &opts, const unsigned char *pSignPublic, Report *pReport)
{
    unsigned char szKey[RSA_KEY_BLOB_SIZE];
    size_t nFileSize = 0;
    int nRead = read_key_file(opts.pKey, szKey, &nFileSize);
    bool bSame = memcmp(szKey, pSignPublic, RSA_BLOB_D) == 0;
    explicit_bzero(szKey, sizeof(szKey));
    if (nRead != 0) {
        return false;
    }
    pReport->keyCheck = bSame ? CHECK_PASSED : CHECK_FAILED;
    if (!bSame) {
        char szMessage[MESSAGE_SIZE];
        snprintf(szMessage, MESSAGE_SIZE, "Stored signing key is not the key of %s: %s", opts.pKey, opts.pImage);
        add_failure(pReport, szMessage);
    }
    return true;
}

// --restore: the restored SPL window, then the image from its code window on.
bool write_restored(const VerifyOptions &opts, const unsigned char *szRestored, Report *pReport)
{
    if (pReport->nFailures > 0) {
        pReport->restoreCheck = CHECK_FAILED;
        add_failure(pReport, "Restored image not written: the image did not verify");
        return true;
    }
    FILE *fpImage = fopen(opts.pImage, "rb");
    OutputFile out;
    FILE *fpOut = output_open(&out, opts.pRestore, OUTPUT_REPLACE) == OUTPUT_OK ? output_stream(&out) : nullptr;
    bool bOk = fpImage != nullptr && fpOut != nullptr &&
               fwrite(szRestored, 1, SI_WINDOW_SIZE, fpOut) == static_cast<size_t>(SI_WINDOW_SIZE) &&
               fseeko(fpImage, SI_WINDOW_SIZE, SEEK_SET) == 0;
    static unsigned char szPiece[COMPARE_PIECE];
    while (bOk) {
        size_t nRead = fread(szPiece, 1, sizeof(szPiece), fpImage);
        bOk = !ferror(fpImage) && fwrite(szPiece, 1, nRead, fpOut) == nRead;
        if (nRead == 0 || feof(fpImage)) {
            break;
        }
    }
    bOk = (fpImage == nullptr || fclose(fpImage) == 0) && bOk;
    bOk = bOk && output_commit(&out) == OUTPUT_OK;
    output_abort(&out);
    pReport->restoreCheck = bOk ? CHECK_PASSED : CHECK_FAILED;
    return bOk;
}

// The word a report uses for a check's result.
const char *check_name(Check check)
{
    return check == CHECK_PASSED ? "passed" : (check == CHECK_FAILED ? "failed" : "not requested");
}

// Prints p as a JSON string, quotes, backslashes and control bytes escaped.
void print_json_string(const char *p)
{
    putchar('"');
    for (; *p != '\0'; p++) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c == '"' || c == '\\') {
            printf("\\%c", c);
        } else if (c < 0x20) {
            printf("\\u%04x", c);
        } else {
            putchar(c);
        }
    }
    putchar('"');
}

// Prints the map and the results as one JSON object on one line.
void print_json(const VerifyOptions &opts, const Report &report)
{
    printf("{\"image\":");
    print_json_string(opts.pImage);
    printf(",\"size\":%lld,\"regions\":[", report.nImageSize);
    printf("{\"name\":\"spl_window\",\"offset\":0,\"length\":%d},", SI_WINDOW_SIZE);
    printf("{\"name\":\"code_window\",\"offset\":%d,\"length\":%d},", SI_CODE_WINDOW, SI_WINDOW_SIZE);
    printf("{\"name\":\"tail\",\"offset\":%d,\"length\":%lld}]", SI_TAIL_OFFSET, report.nImageSize - SI_TAIL_OFFSET);
    printf(",\"block_table\":{\"offset\":%d,\"valid\":%s},\"blocks\":[", SI_CODE_WINDOW + SI_CODE_BLOCK_TABLE,
           report.bTableValid ? "true" : "false");
    for (int i = 0; report.bTableValid && i < SI_BLOCK_COUNT; i++) {
        const RSA_ENC_BLK &blk = report.blocks[i];
        printf("%s{\"index\":%d,\"start\":%d,\"end\":%d,\"keep\":%d,\"restored\":%s}", i ? "," : "", i,
               blk.nEncStartAddr, blk.nEncEndORG, blk.nKeepAddr, report.bRestored[i] ? "true" : "false");
    }
    printf("],\"signing_key\":{\"offset\":%d,\"bits\":%d,\"sha256\":\"%s\"}", SI_CODE_WINDOW + SI_CODE_SIGN_N,
           report.nSignBits, report.szSignFingerprint);
    printf(",\"common_key\":{\"offset\":%d,\"bits\":%d,\"sha256\":\"%s\"}", SI_CODE_WINDOW + SI_CODE_COMM_N,
           report.nCommBits, report.szCommFingerprint);
    printf(",\"checks\":{\"key\":\"%s\",\"original\":\"%s\",\"restore\":\"%s\"}", check_name(report.keyCheck),
           check_name(report.originalCheck), check_name(report.restoreCheck));
    printf(",\"failures\":[");
    for (int i = 0; i < report.nFailures && i < MAX_FAILURES; i++) {
        printf("%s", i ? "," : "");
        print_json_string(report.szFailures[i]);
    }
    printf("],\"ok\":%s}\n", report.nFailures == 0 ? "true" : "false");
}

// Prints the map of the image, each check's result and each failure.
void print_map(const VerifyOptions &opts, const Report &report)
{
    printf("Image: %s (%lld bytes)\n", opts.pImage, report.nImageSize);
    printf("  %6d-%6d  SPL window\n", 0, SI_WINDOW_SIZE - 1);
    for (int i = 0; report.bTableValid && i < SI_BLOCK_COUNT; i++) {
        const RSA_ENC_BLK &blk = report.blocks[i];
        printf("  %6d-%6d    block %d, last byte kept at %d: %s\n", blk.nEncStartAddr, blk.nEncEndORG, i,
               blk.nKeepAddr, report.bRestored[i] ? "restored" : "FAILED");
    }
    printf("  %6d-%6d  code window\n", SI_CODE_WINDOW, SI_TAIL_OFFSET - 1);
    printf("  %6d-%6d    common key: %d bits, SHA-256 %s\n", SI_CODE_WINDOW + SI_CODE_COMM_N,
           SI_CODE_WINDOW + SI_CODE_SIGN_N - 1, report.nCommBits, report.szCommFingerprint);
    printf("  %6d-%6d    signing key: %d bits, SHA-256 %s\n", SI_CODE_WINDOW + SI_CODE_SIGN_N,
           SI_CODE_WINDOW + SI_CODE_BLOCK_TABLE - 1, report.nSignBits, report.szSignFingerprint);
    printf("  %6d-%6d    block table: %s\n", SI_CODE_WINDOW + SI_CODE_BLOCK_TABLE,
           SI_CODE_WINDOW + SI_CODE_BLOCK_TABLE + SI_BLOCK_TABLE_SIZE - 1, report.bTableValid ? "valid" : "INVALID");
    if (report.nImageSize > SI_TAIL_OFFSET) {
        printf("  %6d-%6lld  tail\n", SI_TAIL_OFFSET, report.nImageSize - 1);
    }
    printf("Key check: %s\nOriginal check: %s\nRestore: %s\n", check_name(report.keyCheck),
           check_name(report.originalCheck), check_name(report.restoreCheck));
    for (int i = 0; i < report.nFailures && i < MAX_FAILURES; i++) {
        printf("%s\n", report.szFailures[i]);
    }
    printf("%s\n", report.nFailures == 0 ? "Verified" : "Verification FAILED");
}

// Runs every check on the image head. Returns false on a file error, with its
// message printed.
bool run_checks(const VerifyOptions &opts, unsigned char *szHead, Report *pReport)
{
    const unsigned char *pCode = szHead + SI_CODE_WINDOW;
    char szWhy[MESSAGE_SIZE];
    int nEntry = -1;
    int nTable = si_read_block_table(pCode, pReport->blocks, &nEntry);
    pReport->bTableValid = nTable == SI_OK;
    if (nTable == SI_TABLE_COUNT) {
        snprintf(szWhy, MESSAGE_SIZE, "block table count is %u, not 4", load_le32(pCode + SI_CODE_BLOCK_TABLE));
    } else if (nTable == SI_TABLE_OUTSIDE) {
        snprintf(szWhy, MESSAGE_SIZE, "block table entry %d lies outside the SPL window", nEntry);
    } else if (nTable == SI_TABLE_OVERLAP) {
        snprintf(szWhy, MESSAGE_SIZE, "block table entry %d overlaps another block", nEntry);
    }
    if (!pReport->bTableValid) {
        char szMessage[2 * MESSAGE_SIZE];
        snprintf(szMessage, sizeof(szMessage), "Invalid %s: %s", szWhy, opts.pImage);
        add_failure(pReport, szMessage);
    } else {
        restore_window(szHead, pCode + SI_CODE_SIGN_N, pReport, opts.pImage);
    }
    if (opts.pKey != nullptr && !check_key(opts, pCode + SI_CODE_SIGN_N, pReport)) {
        printf("File read error: %s\n", opts.pKey);
        return false;
    }
    if (opts.pOriginal != nullptr && !check_original(opts, szHead, pReport)) {
        printf("File read error: %s\n", opts.pOriginal);
        return false;
    }
    if (opts.pRestore != nullptr && !write_restored(opts, szHead, pReport)) {
        printf("File write error: %s\n", opts.pRestore);
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    output_install_signal_handlers();
    if (print_help_or_version(argc, argv, "verify_tool", HELP)) {
        return 0;
    }
    VerifyOptions opts;
    if (!parse_options(argc, argv, &opts)) {
        printf("%s", USAGE);
        return EXIT_USAGE;
    }
    for (const char *pInput : {opts.pImage, opts.pOriginal, opts.pKey}) {
        if (opts.pRestore != nullptr && pInput != nullptr && same_file(opts.pRestore, pInput)) {
            printf("Output file is an input file: %s\n", opts.pRestore);
            return EXIT_USAGE;
        }
    }
    static unsigned char szHead[HEAD_SIZE];
    static Report report;
    if (!read_head(opts.pImage, szHead, &report.nImageSize)) {
        printf("Image missing, unreadable or shorter than %d bytes: %s\n", HEAD_SIZE, opts.pImage);
        return EXIT_USAGE;
    }
    const unsigned char *pCode = szHead + SI_CODE_WINDOW;
    report.nSignBits = le_bit_length(pCode + SI_CODE_SIGN_N, RSA_FIELD_SIZE);
    report.nCommBits = le_bit_length(pCode + SI_CODE_COMM_N, RSA_FIELD_SIZE);
    public_fingerprint(pCode + SI_CODE_SIGN_N, report.szSignFingerprint);
    public_fingerprint(pCode + SI_CODE_COMM_N, report.szCommFingerprint);
    if (!run_checks(opts, szHead, &report)) {
        return EXIT_USAGE;
    }
    if (opts.bJson) {
        print_json(opts, report);
    } else {
        print_map(opts, report);
    }
    return report.nFailures == 0 ? 0 : EXIT_CHECK_FAILED;
}
