// SPDX-License-Identifier: Apache-2.0
// A whole signing run, in process, on arbitrary image, code and key files: it
// ends, writes the image's size or leaves no file at all, stores the block
// table where the private exponent was, and never lets the private exponent out.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

#include "encrypt_tool.h"
#include "fuzz_files.h"
#include "image/image_model.h"
#include "image_format.h"
#include "key_file.h"

namespace {

constexpr size_t HEADER = 8;

size_t load_u16(const uint8_t *p)
{
    return static_cast<size_t>(p[0]) | static_cast<size_t>(p[1]) << 8;
}

std::vector<uint8_t> take(const uint8_t *&p, const uint8_t *pEnd, size_t nSize)
{
    size_t nHave = std::min(nSize, static_cast<size_t>(pEnd - p));
    std::vector<uint8_t> out(p, p + nHave);
    p += nHave;
    out.resize(nSize, 0);
    return out;
}

bool same(const std::vector<uint8_t> &out, size_t nAt, const std::vector<uint8_t> &src, size_t nFrom, size_t nLen)
{
    return memcmp(out.data() + nAt, src.data() + nFrom, nLen) == 0;
}

// Every output byte outside the four blocks comes from a public source (the
// image, the code file, the two public halves, the table record), and every
// block restores with the stored public key (the model's verdict): no room is
// left for the private exponent.
void check_signed_output(const std::vector<uint8_t> &out, const std::vector<uint8_t> &image, std::vector<uint8_t> code,
                         std::vector<uint8_t> key, std::vector<uint8_t> comm)
{
    code.resize(std::max(code.size(), static_cast<size_t>(SI_WINDOW_SIZE)), 0);
    key.resize(KEY_FILE_SIZE, 0);
    comm.resize(KEY_FILE_SIZE, 0);
    model::Verdict v = model::verify(out, {nullptr, "", &image, false});
    bool bOk = v.nStatus == 0 && v.original == model::PASSED && same(out, SI_CODE_WINDOW, code, 0, SI_CODE_COMM_N) &&
               same(out, SI_CODE_WINDOW + SI_CODE_COMM_N, comm, 0, RSA_FIELD_SIZE) &&
               same(out, SI_CODE_WINDOW + SI_CODE_COMM_E, comm, KEY_RECORD_SIZE, RSA_FIELD_SIZE) &&
               same(out, SI_CODE_WINDOW + SI_CODE_SIGN_N, key, 0, RSA_FIELD_SIZE) &&
               same(out, SI_CODE_WINDOW + SI_CODE_SIGN_E, key, KEY_RECORD_SIZE, RSA_FIELD_SIZE) &&
               same(out, SI_CODE_WINDOW + SI_CODE_BLOCK_TABLE, model::tables()[0].second, 0, SI_BLOCK_TABLE_SIZE) &&
               same(out, SI_CODE_WINDOW + SI_CODE_BLOCK_TABLE + SI_BLOCK_TABLE_SIZE, code,
                    SI_CODE_BLOCK_TABLE + SI_BLOCK_TABLE_SIZE, SI_WINDOW_SIZE - SI_CODE_BLOCK_TABLE - SI_BLOCK_TABLE_SIZE);
    if (!bOk) {
        abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < HEADER) {
        return 0;
    }
    // Sizes reach past both windows while the key bytes come first, so that a
    // valid key in a seed survives mutations of the rest.
    size_t nImage = load_u16(data) % 50000;
    size_t nCode = load_u16(data + 2) % 20000;
    size_t nKey = load_u16(data + 4) % 1800;
    size_t nComm = load_u16(data + 6) % 1800;
    const uint8_t *p = data + HEADER;
    const uint8_t *pEnd = data + size;
    std::vector<uint8_t> key = take(p, pEnd, nKey);
    std::vector<uint8_t> comm = take(p, pEnd, nComm);
    std::vector<uint8_t> code = take(p, pEnd, nCode);
    std::vector<uint8_t> image = take(p, pEnd, nImage);

    const std::string &dir = fuzz_work_dir("fuzz_sign_run");
    std::string paths[5] = {dir + "/in", dir + "/out", dir + "/code", dir + "/key", dir + "/comm"};
    fuzz_write_file(paths[0], image.data(), image.size());
    fuzz_write_file(paths[2], code.data(), code.size());
    fuzz_write_file(paths[3], key.data(), key.size());
    fuzz_write_file(paths[4], comm.data(), comm.size());
    char *argv[7] = {const_cast<char *>("encrypt_tool")};
    for (int i = 0; i < 5; i++) {
        argv[i + 1] = paths[i].data();
    }
    argv[6] = nullptr;
    unlink(paths[1].c_str());
    int nStatus = encrypt_tool_run(6, argv);
    if (nStatus != 0) {
        if (access(paths[1].c_str(), F_OK) == 0) {
            abort(); // a refusal leaves out_file as it was: absent
        }
        return 0;
    }
    std::vector<uint8_t> out = fuzz_read_file(paths[1]);
    if (out.size() != std::max(image.size(), static_cast<size_t>(SI_TAIL_OFFSET))) {
        abort();
    }
    check_signed_output(out, image, code, key, comm);
    return 0;
}
