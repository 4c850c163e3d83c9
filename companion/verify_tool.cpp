// SPDX-License-Identifier: Apache-2.0
// verify_tool: checks a signed image with the public key it stores, prints its
// map, and can compare it with the original or restore its SPL window. The
// image is read once, from the start, so that a pipe or FIFO works as well.
#include "verify_tool.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <cstdio>
#include <cstring>
#include <getopt.h>
#include <nlohmann/json.hpp>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "byte_order.h"
#include "cli.h"
#include "file_copy.h"
#include "key_io.h"
#include "output_file.h"
#include "public_key.h"
#include "token_key.h"

namespace {

constexpr int HEAD_SIZE = 2 * SI_WINDOW_SIZE;
// The tail is read in pieces sized for throughput. A restored image written
// from what was read leaves each all-zero stretch of HOLE_PIECE bytes (counted
// from the tail's start) as a hole.
constexpr size_t PIECE = size_t{1} << 20;
constexpr size_t HOLE_PIECE = 64 * 1024;
static_assert(PIECE % HOLE_PIECE == 0);

const char *const USAGE =
    "Usage: verify_tool [--key SIGN.key | --fingerprint HEX] [--original IN.img] [--restore OUT.img [--force]] "
    "[--json] [--] IMAGE|-";

const char *const HELP =
    "verify_tool: check a signed image with the public key it stores.\n"
    "\n"
    "  --key SIGN.key      the stored signing key must be this key file's public half\n"
    "                      (or a PEM public key's, or that of the key a pkcs11: URI names)\n"
    "  --fingerprint HEX   the stored signing key's SHA-256 (as key_tool show prints it) must be HEX\n"
    "  --original IN.img   the restored SPL window and the tail must be the original's\n"
    "  --restore OUT.img   write the image with its SPL window restored (a new file, a FIFO or a\n"
    "                      character device; an existing file or block device only with --force)\n"
    "  --force             let --restore replace an existing file\n"
    "  --json              print the map and results as one JSON object (format 1: see verify_tool(1))\n"
    "  -h, --help, -V, --version\n"
    "\n"
    "IMAGE - is standard input.\n"
    "Without --key or --fingerprint the image is only checked against the key it\n"
    "carries, which anyone can put there; the result says so.\n"
    "Exit status: 0 every check passed, 1 a check failed, 2 a usage or file error.\n";

struct VerifyOptions {
    const char *pKey = nullptr;
    const char *pFingerprint = nullptr;
    const char *pOriginal = nullptr;
    const char *pRestore = nullptr;
    const char *pImage = nullptr;
    bool bJson = false;
    bool bForce = false;
};

enum Check { CHECK_NOT_ASKED, CHECK_PASSED, CHECK_FAILED };

// What was found in the image and how each check ended.
struct Report {
    long long nImageSize = 0; // -1: a stream not read to its end
    long long nImageRead = 0; // bytes of the image read
    int nTable = SI_OK;
    int nTableEntry = -1;
    RSA_ENC_BLK blocks[SI_BLOCK_COUNT] = {};
    bool bRestored[SI_BLOCK_COUNT] = {};
    bool bKeyUsable = false;
    bool bKeyProven = false; // a restored block's e-th power wraps the modulus
    int nSignBits = 0;
    int nCommBits = 0;
    std::string signFingerprint;
    std::string commFingerprint;
    Check keyCheck = CHECK_NOT_ASKED;
    Check originalCheck = CHECK_NOT_ASKED;
    Check restoreCheck = CHECK_NOT_ASKED;
    std::vector<std::string> failures;
};

// Parses the command line. Returns 0, or the exit status after the error.
int parse_options(int argc, char **argv, VerifyOptions *pOpts, bool *pbDone)
{
    static const option longOptions[] = {
        {"key", required_argument, nullptr, 'k'},      {"fingerprint", required_argument, nullptr, 'f'},
        {"original", required_argument, nullptr, 'o'}, {"restore", required_argument, nullptr, 'r'},
        {"json", no_argument, nullptr, 'j'},           {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, 'V'},        {"force", no_argument, nullptr, 'F'},
        {nullptr, 0, nullptr, 0},
    };
    *pOpts = VerifyOptions{};
    *pbDone = false;
    optind = 0; // also resets getopt between in-process runs
    opterr = 0;
    int nOption = 0;
    while ((nOption = getopt_long(argc, argv, "hV", longOptions, nullptr)) != -1) {
        switch (nOption) {
        case 'k': pOpts->pKey = optarg; break;
        case 'F': pOpts->bForce = true; break;
        case 'f': pOpts->pFingerprint = optarg; break;
        case 'o': pOpts->pOriginal = optarg; break;
        case 'r': pOpts->pRestore = optarg; break;
        case 'j': pOpts->bJson = true; break;
        case 'h': printf("%s\n%s", USAGE, HELP); *pbDone = true; return 0;
        case 'V': cli_print_version(); *pbDone = true; return 0;
        default:
            return cli_error(EXIT_USAGE, std::string(optopt != 0 || argv[optind - 1][1] == '-'
                                                         ? "unknown option or missing value: "
                                                         : "unknown option: ") +
                                             printable(argv[optind - 1]) + "\n" + USAGE);
        }
    }
    if (optind != argc - 1) {
        return cli_error(EXIT_USAGE, std::string(optind >= argc ? "no image given" : "more than one image given") +
                                         "\n" + USAGE);
    }
    pOpts->pImage = argv[optind];
    if (pOpts->pKey != nullptr && pOpts->pFingerprint != nullptr) {
        return cli_error(EXIT_USAGE, "--key and --fingerprint are two ways to give one trusted key: give one");
    }
    if (pOpts->pFingerprint != nullptr &&
        (strlen(pOpts->pFingerprint) != 2 * SHA256_SIZE ||
         strspn(pOpts->pFingerprint, "0123456789abcdefABCDEF") != 2 * SHA256_SIZE)) {
        return cli_error(EXIT_USAGE, "--fingerprint must be 64 hexadecimal digits (the SHA-256 key_tool show prints)");
    }
    return 0;
}

// The stored keys, the block table and each block, from the image's head.
// Restores the SPL window in place where the table and the key allow.
void check_head(const VerifyOptions &opts, unsigned char *szHead, Report *pReport)
{
    const unsigned char *pCode = szHead + SI_CODE_WINDOW;
    const unsigned char *pSignPublic = pCode + SI_CODE_SIGN_N;
    std::string image = printable(opts.pImage);
    pReport->nSignBits = le_bit_length(pSignPublic + RSA_BLOB_N, RSA_FIELD_SIZE);
    pReport->nCommBits = le_bit_length(pCode + SI_CODE_COMM_N, RSA_FIELD_SIZE);
    pReport->signFingerprint = public_fingerprint(pSignPublic);
    pReport->commFingerprint = public_fingerprint(pCode + SI_CODE_COMM_N);
    pReport->nTable = si_read_block_table(pCode, pReport->blocks, &pReport->nTableEntry);
    if (pReport->nTable == SI_TABLE_COUNT) {
        pReport->failures.push_back("block table count is " + std::to_string(load_le32(pCode + SI_CODE_BLOCK_TABLE)) +
                                    ", not 4 (is this image signed?): " + image);
    } else if (pReport->nTable == SI_TABLE_PADDING) {
        pReport->failures.push_back("block table record is not zero after its entries: " + image);
    } else if (pReport->nTable == SI_TABLE_OUTSIDE) {
        pReport->failures.push_back("block table entry " + std::to_string(pReport->nTableEntry) +
                                    " lies outside the SPL window: " + image);
    } else if (pReport->nTable == SI_TABLE_OVERLAP) {
        pReport->failures.push_back("block table entry " + std::to_string(pReport->nTableEntry) +
                                    " overlaps another block: " + image);
    }
    pReport->bKeyUsable = si_public_key_usable(pSignPublic) != 0;
    if (!pReport->bKeyUsable) {
        pReport->failures.push_back("stored signing key is not usable (a modulus of 1017 to 1024 bits that is odd, "
                                    "and an odd public exponent of at least 3, are needed): " + image);
    }
    if (pReport->nTable != SI_OK || !pReport->bKeyUsable) {
        return;
    }
    for (int i = 0; i < SI_BLOCK_COUNT; i++) {
        bool bProves = si_block_proves_public_key(szHead + pReport->blocks[i].nEncStartAddr, pSignPublic) != 0;
        pReport->bRestored[i] = si_restore_block(szHead, &pReport->blocks[i], pSignPublic) == SI_OK;
        pReport->bKeyProven = pReport->bKeyProven || (pReport->bRestored[i] && bProves);
        if (!pReport->bRestored[i]) {
            pReport->failures.push_back("Block " + std::to_string(i) + " (offset " +
                                        std::to_string(pReport->blocks[i].nEncStartAddr) +
                                        ") does not restore with the stored signing key: " + image);
        }
    }
}

const char *const NO_PROOF = "every block is an e-th root anyone can take: its e-th power is below the modulus";

// True when the table and the stored key allowed every block to be restored,
// and each was.
bool all_blocks_restored(const Report &report)
{
    // A block is restored only where the table and the stored key allowed it.
    bool bAll = true;
    for (bool bRestored : report.bRestored) {
        bAll = bAll && bRestored;
    }
    return bAll;
}

// --key or --fingerprint: the stored signing public half must be the trusted
// one. Returns 0, or the exit status after a file error.
int check_trusted_key(const VerifyOptions &opts, const unsigned char *pSignPublic, Report *pReport)
{
    std::string trusted;
    if (opts.pKey != nullptr && is_token_uri(opts.pKey)) {
        std::string shown = printable(opts.pKey);
        unsigned char szPublic[SI_PUBLIC_SIZE];
        std::string why;
        if (token_read_public(opts.pKey, TOKEN_PUBLIC_HALF, szPublic, &why) != TOKEN_OK) {
            return cli_error(EXIT_USAGE, "Key cannot be read: " + cli_label(shown) + printable(why.c_str()));
        }
        pReport->keyCheck = memcmp(szPublic, pSignPublic, SI_PUBLIC_SIZE) == 0 ? CHECK_PASSED : CHECK_FAILED;
        trusted = "the key of " + shown;
    } else if (opts.pKey != nullptr) {
        unsigned char szPublic[SI_PUBLIC_SIZE];
        std::string why;
        int nRead = read_public_file(opts.pKey, szPublic, &why);
        if (nRead == PUBLIC_KEY_REFUSED) {
            return cli_error(EXIT_USAGE, "Key cannot be read: " + cli_label(printable(opts.pKey)) + why);
        }
        if (nRead != PUBLIC_KEY_OK) {
            return cli_file_error("File read error: ", opts.pKey, 0, why);
        }
        pReport->keyCheck = memcmp(szPublic, pSignPublic, SI_PUBLIC_SIZE) == 0 ? CHECK_PASSED : CHECK_FAILED;
        trusted = "the key of " + printable(opts.pKey);
    } else if (opts.pFingerprint != nullptr) {
        std::string wanted = opts.pFingerprint;
        for (char &c : wanted) {
            c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
        }
        pReport->keyCheck = wanted == pReport->signFingerprint ? CHECK_PASSED : CHECK_FAILED;
        trusted = "the key with fingerprint " + wanted;
    }
    if (pReport->keyCheck == CHECK_FAILED) {
        pReport->failures.push_back("Stored signing key is not " + trusted + ": " + printable(opts.pImage));
    }
    if (pReport->keyCheck != CHECK_NOT_ASKED && all_blocks_restored(*pReport) && !pReport->bKeyProven) {
        pReport->failures.push_back(std::string("No block proves the signing key (") + NO_PROOF +
                                    "): " + printable(opts.pImage));
    }
    return 0;
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

// The single pass over the image after its head: the comparison of the tail
// with the original's, and the restored image's tail.
struct Stream {
    int fdImage = -1;
    int fdOriginal = -1;
    OutputFile restored;
    bool bRestoring = false;
    const unsigned char *pHead = nullptr; // the restored image's first HEAD_SIZE bytes
};

// True when nOffset of the SPL window lies in a block that did not restore.
bool in_unrestored_block(const Report &report, int nOffset)
{
    for (int i = 0; i < SI_BLOCK_COUNT; i++) {
        const RSA_ENC_BLK &blk = report.blocks[i];
        if (!report.bRestored[i] && nOffset >= blk.nEncStartAddr && nOffset <= blk.nEncEndORG) {
            return true;
        }
    }
    return false;
}

// Opens the original and compares its SPL window with the restored one (not
// where nothing could be restored: that failure is already named); leaves it
// at its tail (or its end, when it ends inside its head). Returns 0, or the exit status after a file error.
int start_original(const VerifyOptions &opts, const unsigned char *szRestored, Stream *pStream, Report *pReport)
{
    pStream->fdOriginal = open(opts.pOriginal, O_RDONLY | O_CLOEXEC);
    unsigned char szOrig[HEAD_SIZE] = {};
    size_t nRead = 0;
    if (pStream->fdOriginal == -1 || !read_full(pStream->fdOriginal, szOrig, HEAD_SIZE, &nRead)) {
        return cli_file_error(pStream->fdOriginal == -1 ? "File open error: " : "File read error: ", opts.pOriginal,
                              errno);
    }
    pReport->originalCheck = CHECK_PASSED;
    for (int i = 0; i < SI_WINDOW_SIZE; i++) {
        if (szRestored[i] != szOrig[i] && !is_keep_offset(*pReport, i) && !in_unrestored_block(*pReport, i)) {
            pReport->failures.push_back("SPL window differs from the original at offset " + std::to_string(i) + ": " +
                                        printable(opts.pImage));
            pReport->originalCheck = CHECK_FAILED;
            break;
        }
    }
    return 0;
}

// True when the nLen bytes at p are all zero.
bool all_zero(const unsigned char *p, size_t nLen)
{
    return nLen == 0 || (p[0] == 0 && memcmp(p, p + 1, nLen - 1) == 0);
}

// Notes that the tail differs from the original's at nOffset.
void tail_differs(const VerifyOptions &opts, long long nOffset, Report *pReport)
{
    pReport->failures.push_back("Tail differs from the original at offset " + std::to_string(nOffset) + ": " +
                                printable(opts.pImage));
    pReport->originalCheck = CHECK_FAILED;
}

// Compares nRead bytes of the image's tail at szPiece with the original's next
// bytes: whole pieces at once, the offset of a difference looked for only
// where there is one. Returns 0 (a difference is noted in the report), or the
// exit status after a read error of the original.
int compare_piece(const VerifyOptions &opts, Stream *pStream, const unsigned char *szPiece, size_t nRead,
                  long long nOffset, Report *pReport)
{
    static unsigned char szOrig[PIECE];
    size_t nOrig = 0;
    // One byte more at the image's end: an original that goes on differs.
    if (!read_full(pStream->fdOriginal, szOrig, nRead < PIECE ? nRead + 1 : PIECE, &nOrig)) {
        return cli_file_error("File read error: ", opts.pOriginal, errno);
    }
    if (nOrig == nRead && memcmp(szPiece, szOrig, nRead) == 0) {
        return 0;
    }
    size_t nSame = 0;
    while (nSame < nRead && nSame < nOrig && szPiece[nSame] == szOrig[nSame]) {
        nSame++;
    }
    tail_differs(opts, nOffset + static_cast<long long>(nSame), pReport);
    return 0;
}

// Writes nLen bytes of the image's tail at pData, read from nOffset, to the
// restored image, leaving its all-zero HOLE_PIECE stretches as holes. Returns
// false on a write error.
bool write_piece(Stream *pStream, const unsigned char *pData, size_t nLen, long long nOffset)
{
    while (nLen > 0) {
        size_t nStretch = std::min(HOLE_PIECE, nLen);
        if (!all_zero(pData, nStretch) && !write_all_at(pStream->restored.fd, pData, nStretch, nOffset)) {
            return false;
        }
        pData += nStretch;
        nLen -= nStretch;
        nOffset += static_cast<long long>(nStretch);
    }
    return true;
}

// Reads the tail of the image for the original's comparison and the restored
// image, until the image ends or the original's check has failed. Returns 0,
// or the exit status after a file error.
int stream_tail(const VerifyOptions &opts, Stream *pStream, Report *pReport)
{
    static unsigned char szPiece[PIECE];
    long long nOffset = HEAD_SIZE;
    for (;;) {
        size_t nRead = 0;
        if (!read_full(pStream->fdImage, szPiece, PIECE, &nRead)) {
            return cli_file_error("File read error: ", opts.pImage, errno);
        }
        int nStatus = pStream->fdOriginal != -1 ? compare_piece(opts, pStream, szPiece, nRead, nOffset, pReport)
                                                     : 0;
        if (nStatus != 0) {
            return nStatus;
        }
        if (pReport->originalCheck == CHECK_FAILED) {
            return 0; // settled: nothing is restored, nothing more compared
        }
        if (pStream->bRestoring && !write_piece(pStream, szPiece, nRead, nOffset)) {
            return cli_file_error("File write error: ", opts.pRestore, errno);
        }
        nOffset += static_cast<long long>(nRead);
        if (nRead < PIECE) {
            break;
        }
    }
    pReport->nImageRead = nOffset;
    if (pStream->bRestoring && ftruncate(pStream->restored.fd, nOffset) != 0) {
        return cli_file_error("File write error: ", opts.pRestore, errno);
    }
    return 0;
}

// The restored image's tail copied inside the kernel from a regular image,
// holes left as holes, as the signing tool copies: the data extents from
// offset 0 (as fast as cp; starting at the tail was slower), then the
// restored head over them again. Returns 0, or the exit status after a file
// error.
int copy_tail(const VerifyOptions &opts, Stream *pStream, off_t nSize)
{
    int fdOut = pStream->restored.fd;
    CopyStatus nStatus = copy_extents(pStream->fdImage, 0, nSize, fdOut);
    if (nStatus == COPY_OK &&
        (!write_all_at(fdOut, pStream->pHead, HEAD_SIZE, 0) || ftruncate(fdOut, nSize) != 0)) {
        nStatus = COPY_WRITE_ERROR;
    }
    int nErrno = errno; // the failing call's
    if (nStatus == COPY_READ_ERROR) {
        return cli_file_error("File read error: ", opts.pImage, nErrno, "the file shrank while it was copied");
    }
    return nStatus == COPY_OK ? 0 : cli_file_error("File write error: ", opts.pRestore, nErrno);
}

// How the restored image is written: over what holds data (a file, a block
// device) only with --force; a device or FIFO gets nothing before the image
// has passed every check.
unsigned restore_flags(const VerifyOptions &opts)
{
    return OUTPUT_SPOOL | (opts.bForce ? OUTPUT_REPLACE : OUTPUT_KEEP_DATA);
}

// The exit status after an output_open, output_check or output_commit of the
// restored image that did not give OUTPUT_OK (nErrno: the system's reason).
int restore_refused(const VerifyOptions &opts, int nOutput, int nErrno)
{
    if (nOutput == OUTPUT_EXISTS) {
        return cli_error(EXIT_USAGE, "File exists (use --force to replace it): " + printable(opts.pRestore));
    }
    return cli_file_error("File write error: ", opts.pRestore, nErrno);
}

// Starts the restored image: the restored SPL window and the code window.
// Returns 0, or the exit status after a file error.
int start_restore(const VerifyOptions &opts, const unsigned char *szHead, Stream *pStream)
{
    int nOutput = output_open(&pStream->restored, opts.pRestore, restore_flags(opts));
    if (nOutput != OUTPUT_OK) {
        return restore_refused(opts, nOutput, errno);
    }
    if (!write_all_at(pStream->restored.fd, szHead, HEAD_SIZE, 0)) {
        return cli_file_error("File write error: ", opts.pRestore, errno);
    }
    pStream->bRestoring = true;
    pStream->pHead = szHead;
    return 0;
}

// The word a report uses for a check's result.
const char *check_name(Check check)
{
    return check == CHECK_PASSED ? "passed" : (check == CHECK_FAILED ? "failed" : "not requested");
}

const char *const UNTRUSTED_NOTE =
    "the signing key was not checked against a trusted one (give --key or --fingerprint)";

// What a pass without a trusted key does not show.
std::string untrusted_note(const Report &report)
{
    std::string note = UNTRUSTED_NOTE;
    if (all_blocks_restored(report) && !report.bKeyProven) {
        note += std::string(", and no block proves any key (") + NO_PROOF + ")";
    }
    return note;
}

// Prints the map and the results as one JSON object on one line.
void print_json(const VerifyOptions &opts, const Report &report)
{
    using nlohmann::json;
    bool bTableValid = report.nTable == SI_OK;
    json blocks = json::array();
    for (int i = 0; bTableValid && i < SI_BLOCK_COUNT; i++) {
        const RSA_ENC_BLK &blk = report.blocks[i];
        blocks.push_back({{"index", i}, {"start", blk.nEncStartAddr}, {"end", blk.nEncEndORG},
                          {"keep", blk.nKeepAddr}, {"restored", report.bRestored[i]}});
    }
    // A stream not read to its end has no known size.
    bool bSized = report.nImageSize >= 0;
    json object = {
        {"format", JSON_FORMAT},
        {"status", report.failures.empty() ? 0 : EXIT_CHECK_FAILED},
        {"image", token_uri_printable(opts.pImage)},
        {"size", bSized ? json(report.nImageSize) : json(nullptr)},
        {"bytes_read", report.nImageRead},
        {"regions", json::array({
                        {{"name", "spl_window"}, {"offset", 0}, {"length", SI_WINDOW_SIZE}},
                        {{"name", "code_window"}, {"offset", SI_CODE_WINDOW}, {"length", SI_WINDOW_SIZE}},
                        {{"name", "tail"}, {"offset", SI_TAIL_OFFSET},
                         {"length", bSized ? json(report.nImageSize - SI_TAIL_OFFSET) : json(nullptr)}},
                    })},
        {"block_table", {{"offset", SI_CODE_WINDOW + SI_CODE_BLOCK_TABLE}, {"valid", bTableValid}}},
        {"blocks", blocks},
        {"signing_key", {{"offset", SI_CODE_WINDOW + SI_CODE_SIGN_N}, {"bits", report.nSignBits},
                         {"sha256", report.signFingerprint}, {"usable", report.bKeyUsable}}},
        {"common_key", {{"offset", SI_CODE_WINDOW + SI_CODE_COMM_N}, {"bits", report.nCommBits},
                        {"sha256", report.commFingerprint}}},
        {"checks", {{"key", check_name(report.keyCheck)}, {"original", check_name(report.originalCheck)},
                    {"restore", check_name(report.restoreCheck)}}},
        {"key_trusted", report.keyCheck == CHECK_PASSED},
        {"key_proven", report.bKeyProven},
        {"failures", report.failures},
        {"ok", report.failures.empty()},
    };
    if (report.keyCheck == CHECK_NOT_ASKED) {
        object["note"] = untrusted_note(report);
    }
    printf("%s\n", object.dump(-1, ' ', false, json::error_handler_t::replace).c_str());
}

// Prints the map of the image, each check's result and each failure.
void print_map(const VerifyOptions &opts, const Report &report)
{
    if (report.nImageSize >= 0) {
        printf("Image: %s (%lld bytes)\n", printable(opts.pImage).c_str(), report.nImageSize);
    } else {
        printf("Image: %s (a stream, not read past its first %lld bytes)\n", printable(opts.pImage).c_str(),
               report.nImageRead);
    }
    printf("  %6d-%6d  SPL window\n", 0, SI_WINDOW_SIZE - 1);
    for (int i = 0; report.nTable == SI_OK && i < SI_BLOCK_COUNT; i++) {
        const RSA_ENC_BLK &blk = report.blocks[i];
        printf("  %6d-%6d    block %d, last byte kept at %d: %s\n", blk.nEncStartAddr, blk.nEncEndORG, i,
               blk.nKeepAddr, report.bRestored[i] ? "restored" : "FAILED");
    }
    printf("  %6d-%6d  code window\n", SI_CODE_WINDOW, SI_TAIL_OFFSET - 1);
    printf("  %6d-%6d    common key: %d bits, SHA-256 %s\n", SI_CODE_WINDOW + SI_CODE_COMM_N,
           SI_CODE_WINDOW + SI_CODE_SIGN_N - 1, report.nCommBits, report.commFingerprint.c_str());
    printf("  %6d-%6d    signing key: %d bits, SHA-256 %s%s\n", SI_CODE_WINDOW + SI_CODE_SIGN_N,
           SI_CODE_WINDOW + SI_CODE_BLOCK_TABLE - 1, report.nSignBits, report.signFingerprint.c_str(),
           report.bKeyUsable ? "" : " (NOT USABLE)");
    printf("  %6d-%6d    block table: %s\n", SI_CODE_WINDOW + SI_CODE_BLOCK_TABLE,
           SI_CODE_WINDOW + SI_CODE_BLOCK_TABLE + SI_BLOCK_TABLE_SIZE - 1,
           report.nTable == SI_OK ? "valid" : "INVALID");
    if (report.nImageSize > SI_TAIL_OFFSET) {
        printf("  %6d-%6lld  tail\n", SI_TAIL_OFFSET, report.nImageSize - 1);
    }
    printf("Key check: %s\nOriginal check: %s\nRestore: %s\n", check_name(report.keyCheck),
           check_name(report.originalCheck), check_name(report.restoreCheck));
    for (const std::string &failure : report.failures) {
        printf("%s\n", failure.c_str());
    }
    if (!report.failures.empty()) {
        printf("Verification FAILED\n");
    } else if (report.keyCheck == CHECK_PASSED) {
        printf("Verified\n");
    } else {
        printf("Verified, but %s\n", untrusted_note(report).c_str());
    }
}

// Opens the image: "-" is standard input (through a descriptor of its own, so
// that it is closed as any other).
int open_image(const char *pImage)
{
    return strcmp(pImage, "-") == 0 ? fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 0) : open(pImage, O_RDONLY | O_CLOEXEC);
}

// True when pRestore names the image (open as fdImage), the original or the
// key file, however it is spelled.
bool restore_names_an_input(const VerifyOptions &opts, int fdImage)
{
    struct stat target;
    struct stat image;
    if (stat(opts.pRestore, &target) == 0 && fstat(fdImage, &image) == 0 && target.st_dev == image.st_dev &&
        target.st_ino == image.st_ino) {
        return true;
    }
    for (const char *pInput : {opts.pOriginal, opts.pKey}) {
        if (pInput != nullptr && same_file(opts.pRestore, pInput)) {
            return true;
        }
    }
    return false;
}

// Opens the image and reads its head; refuses a restored image that would
// be written over an input, or over an existing file without --force, before
// anything else is read. Returns 0, or the exit status after the error (the
// image closed then).
int start_image(const VerifyOptions &opts, unsigned char *szHead, Stream *pStream)
{
    pStream->fdImage = open_image(opts.pImage);
    if (pStream->fdImage == -1) {
        return cli_file_error("File open error: ", opts.pImage, errno);
    }
    int nStatus = 0;
    int nOutput = OUTPUT_OK;
    size_t nHead = 0;
    if (opts.pRestore != nullptr && restore_names_an_input(opts, pStream->fdImage)) {
        nStatus = cli_error(EXIT_USAGE, "Output file is an input file: " + printable(opts.pRestore));
    } else if (opts.pRestore != nullptr && (nOutput = output_check(opts.pRestore, restore_flags(opts))) != OUTPUT_OK) {
        nStatus = restore_refused(opts, nOutput, errno);
    } else if (!read_full(pStream->fdImage, szHead, HEAD_SIZE, &nHead)) {
        nStatus = cli_file_error("File read error: ", opts.pImage, errno);
    } else if (nHead < static_cast<size_t>(HEAD_SIZE)) {
        nStatus = cli_error(EXIT_USAGE, "Image shorter than " + std::to_string(HEAD_SIZE) + " bytes (" +
                                            std::to_string(nHead) + " read): " + printable(opts.pImage));
    }
    if (nStatus != 0) {
        close(pStream->fdImage);
    }
    return nStatus;
}

// Everything after the options: one pass over the image, as far as the
// checks asked for need it, then the report.
int verify(const VerifyOptions &opts)
{
    static unsigned char szHead[HEAD_SIZE];
    Report report;
    Stream stream;
    // Standard input may be a regular file that is read from elsewhere than
    // its start: it is then read as a stream.
    off_t nStart = lseek(STDIN_FILENO, 0, SEEK_CUR);
    int nStatus = start_image(opts, szHead, &stream);
    if (nStatus != 0) {
        return nStatus;
    }
    report.nImageRead = HEAD_SIZE;
    check_head(opts, szHead, &report);
    nStatus = check_trusted_key(opts, szHead + SI_CODE_WINDOW + SI_CODE_SIGN_N, &report);
    // A table, a stored key or a trusted key that fails settles the result:
    // nothing else is read.
    bool bSettled = report.nTable != SI_OK || !report.bKeyUsable || report.keyCheck == CHECK_FAILED;
    if (nStatus == 0 && !bSettled && opts.pOriginal != nullptr) {
        nStatus = start_original(opts, szHead, &stream, &report);
    }
    bool bRestore = opts.pRestore != nullptr && report.failures.empty();
    if (nStatus == 0 && bRestore) {
        nStatus = start_restore(opts, szHead, &stream);
    }
    struct stat st;
    bool bRegular = fstat(stream.fdImage, &st) == 0 && S_ISREG(st.st_mode) &&
                    (strcmp(opts.pImage, "-") != 0 || nStart == 0);
    report.nImageSize = bRegular ? st.st_size : -1;
    bool bCompare = stream.fdOriginal != -1 && report.originalCheck != CHECK_FAILED;
    if (nStatus == 0 && (bCompare || (stream.bRestoring && !bRegular))) {
        nStatus = stream_tail(opts, &stream, &report);
    } else if (nStatus == 0 && stream.bRestoring) {
        nStatus = copy_tail(opts, &stream, st.st_size);
    }
    if (!bRegular && report.nImageRead > HEAD_SIZE) {
        report.nImageSize = report.nImageRead; // read to its end
    }
    if (opts.pRestore != nullptr && nStatus == 0) {
        if (!report.failures.empty()) {
            report.restoreCheck = CHECK_FAILED;
            report.failures.push_back("Restored image not written: the image did not verify");
        } else if (int nOutput = output_commit(&stream.restored); nOutput != OUTPUT_OK) {
            nStatus = restore_refused(opts, nOutput, errno);
        } else {
            report.restoreCheck = CHECK_PASSED;
        }
    }
    output_abort(&stream.restored);
    close(stream.fdImage); // read only: nothing to lose
    if (stream.fdOriginal != -1) {
        close(stream.fdOriginal);
    }
    if (nStatus != 0) {
        return nStatus;
    }
    if (opts.bJson) {
        print_json(opts, report);
    } else {
        print_map(opts, report);
    }
    return report.failures.empty() ? 0 : EXIT_CHECK_FAILED;
}

} // namespace

int verify_tool_run(int argc, char **argv)
{
    cli_init("verify_tool", cli_has_option(argc, argv, "--json"));
    VerifyOptions opts;
    bool bDone = false;
    int nStatus = parse_options(argc, argv, &opts, &bDone);
    if (nStatus != 0 || bDone) {
        return nStatus;
    }
    return verify(opts);
}
