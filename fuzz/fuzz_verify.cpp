// SPDX-License-Identifier: Apache-2.0
// The whole verification of an image, in process: block table, stored keys,
// restore, comparison with an original, JSON. Whatever the image, the run
// ends with status 0, 1 or 2; the report (text or JSON) and the restored bytes
// are the model's (tests/image/image_model.h), and so are the library's own
// verdicts.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

#include "byte_order.h"
#include "fuzz_files.h"
#include "image/image_model.h"
#include "image_format.h"
#include "key_io.h"
#include "verify_tool.h"

namespace {

constexpr size_t HEADER = 5;
constexpr uint8_t FLAG_ORIGINAL = 1;
constexpr uint8_t FLAG_RESTORE = 2;
constexpr uint8_t FLAG_FINGERPRINT = 4;
constexpr uint8_t FLAG_TEXT = 8;

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
    if (nImage < SI_TAIL_OFFSET) {
        if (nStatus != 2) {
            abort();
        }
        return 0;
    }
    // The library's verdicts and verify_tool's report are the model's (the
    // fingerprint given is the argument before the image), and so is what it restored.
    std::vector<unsigned char> img(pImage, pImage + nImage), orig(pOriginal, pOriginal + nOriginal),
        raw = fuzz_read_file(out);
    std::string text(raw.begin(), raw.end());
    model::Verdict v = model::verify(img, {nullptr, (nFlags & FLAG_FINGERPRINT) != 0 ? args[args.size() - 2] : "",
                                           (nFlags & FLAG_ORIGINAL) != 0 ? &orig : nullptr,
                                           (nFlags & FLAG_RESTORE) != 0, image});
    if (!model::library_differs(pImage).empty() ||
        !model::report_differs(v, img, nStatus, text, (nFlags & FLAG_TEXT) == 0).empty()) {
        abort();
    }
    if (fuzz_read_file(restored) != (v.restore == model::PASSED ? v.restored : std::vector<uint8_t>{}) ||
        (access(restored.c_str(), F_OK) == 0) != (v.restore == model::PASSED)) {
        abort(); // a restored file exactly when the image verified, with the model's bytes
    }
    return 0;
}
