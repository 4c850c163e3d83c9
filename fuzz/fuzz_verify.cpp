// SPDX-License-Identifier: Apache-2.0
// The whole verification of an image, in process: block table, stored keys,
// restore, comparison with an original, JSON. Whatever the image, the run
// ends with status 0, 1 or 2, prints valid JSON, restores only an image whose
// every block the library itself restores with a usable stored key, and never
// leaves a restored file behind a refusal.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>
#include <string>
#include <unistd.h>
#include <vector>

#include "byte_order.h"
#include "fuzz_files.h"
#include "image_format.h"
#include "key_io.h"
#include "verify_tool.h"

namespace {

constexpr size_t HEADER = 5;
constexpr uint8_t FLAG_ORIGINAL = 1;
constexpr uint8_t FLAG_RESTORE = 2;
constexpr uint8_t FLAG_FINGERPRINT = 4;
constexpr uint8_t FLAG_TEXT = 8;

// The text of a file the run wrote.
std::string read_text(const std::string &path)
{
    std::vector<uint8_t> data = fuzz_read_file(path);
    return std::string(data.begin(), data.end());
}

// True when the library itself accepts the image's table and stored key and
// restores every block.
bool library_restores(const uint8_t *pImage, size_t nImage)
{
    if (nImage < SI_TAIL_OFFSET) {
        return false;
    }
    std::vector<unsigned char> spl(pImage, pImage + SI_WINDOW_SIZE);
    const unsigned char *pCode = pImage + SI_CODE_WINDOW;
    RSA_ENC_BLK blocks[SI_BLOCK_COUNT];
    int nEntry = -1;
    if (si_read_block_table(pCode, blocks, &nEntry) != SI_OK || !si_public_key_usable(pCode + SI_CODE_SIGN_N)) {
        return false;
    }
    for (const RSA_ENC_BLK &blk : blocks) {
        if (si_restore_block(spl.data(), &blk, pCode + SI_CODE_SIGN_N) != SI_OK) {
            return false;
        }
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < HEADER) {
        return 0;
    }
    uint8_t nFlags = data[0];
    size_t nImage = std::min<size_t>(load_le32(data + 1) % 70000, size - HEADER);
    const uint8_t *pImage = data + HEADER;
    const uint8_t *pOriginal = pImage + nImage;
    size_t nOriginal = size - HEADER - nImage;

    const std::string &dir = fuzz_work_dir("fuzz_verify");
    std::string image = dir + "/image", original = dir + "/original", restored = dir + "/restored";
    std::string out = dir + "/stdout";
    fuzz_write_file(image, pImage, nImage);
    fuzz_write_file(original, pOriginal, nOriginal);
    unlink(restored.c_str());
    std::vector<std::string> args{"verify_tool"};
    if ((nFlags & FLAG_TEXT) == 0) {
        args.push_back("--json");
    }
    if (nFlags & FLAG_ORIGINAL) {
        args.insert(args.end(), {"--original", original});
    }
    if (nFlags & FLAG_RESTORE) {
        args.insert(args.end(), {"--restore", restored});
    }
    if ((nFlags & FLAG_FINGERPRINT) && nImage >= SI_TAIL_OFFSET) {
        args.insert(args.end(), {"--fingerprint", public_fingerprint(pImage + SI_CODE_WINDOW + SI_CODE_SIGN_N)});
    }
    args.push_back(image);
    std::vector<char *> argv;
    for (std::string &a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);

    fflush(stdout);
    int fdSaved = dup(STDOUT_FILENO);
    FILE *fpOut = fopen(out.c_str(), "wb");
    if (fpOut == nullptr || fdSaved < 0 || dup2(fileno(fpOut), STDOUT_FILENO) < 0) {
        abort();
    }
    int nStatus = verify_tool_run(static_cast<int>(args.size()), argv.data());
    fflush(stdout);
    dup2(fdSaved, STDOUT_FILENO);
    close(fdSaved);
    fclose(fpOut);

    if (nStatus < 0 || nStatus > 2) {
        abort();
    }
    if ((nFlags & FLAG_TEXT) == 0) {
        nlohmann::json report = nlohmann::json::parse(read_text(out)); // throws, and so fails, on bad JSON
        if (report["ok"].get<bool>() != (nStatus == 0)) {
            abort();
        }
    }
    if (nStatus == 0 && !library_restores(pImage, nImage)) {
        abort(); // "Verified" for an image the library refuses
    }
    bool bRestored = access(restored.c_str(), F_OK) == 0;
    if ((nFlags & FLAG_RESTORE) && bRestored != (nStatus == 0)) {
        abort(); // a restored file must exist exactly when the image verified
    }
    if (bRestored && read_text(restored).size() != nImage) {
        abort();
    }
    return 0;
}
