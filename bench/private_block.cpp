// SPDX-License-Identifier: Apache-2.0
// One private-key block with a key file, and nothing else: run under
// callgrind, its instructions inside rsa_private_exptmod are the cost of one
// private-key block, against which make bench counts a whole signing run.
#include <cstdio>
#include <cstring>

#include "image_format.h"
#include "key_file.h"

int main(int argc, char **argv)
{
    unsigned char szKey[RSA_KEY_BLOB_SIZE];
    size_t nFileSize = 0;
    if (argc != 2 || read_key_file(argv[1], szKey, &nFileSize) != 0) {
        fprintf(stderr, "usage: private_block KEY_FILE\n");
        return 2;
    }
    unsigned char szBlock[SI_BLOCK_PLAIN];
    for (int i = 0; i < SI_BLOCK_PLAIN; i++) {
        szBlock[i] = static_cast<unsigned char>(i * 131 + 7);
    }
    unsigned char szSigned[SI_BLOCK_SIZE];
    int nLen = SI_BLOCK_SIZE;
    int nStatus = do_rsa_enc_dec(szBlock, SI_BLOCK_PLAIN, szSigned, &nLen, RSA_MODE_PRIVATE_ENC, szKey);
    explicit_bzero(szKey, sizeof(szKey));
    return nStatus == 0 ? 0 : 1;
}
