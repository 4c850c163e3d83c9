// SPDX-License-Identifier: Apache-2.0
// Both buffer operations on any buffer, lengths and mode word: nothing is
// touched outside the buffer, and a refusal changes neither buffer nor length.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "byte_order.h"
#include "rsa_internal.h"

namespace {

constexpr size_t HEADER = 13;
constexpr size_t GUARD = 32;

int32_t load_i32(const uint8_t *p)
{
    return static_cast<int32_t>(load_le32(p));
}

void check_guard(const std::vector<uint8_t> &buf, size_t nLen)
{
    for (size_t i = nLen; i < buf.size(); i++) {
        if (buf[i] != 0x5A) {
            abort();
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < HEADER) {
        return 0;
    }
    bool bAfter = data[0] & 1;
    int nDataLen = load_i32(data + 1);
    int nBufferLen = load_i32(data + 5) % 200;
    int procedure = load_i32(data + 9);
    // The buffer is exactly nBufferLen bytes (one when that is not positive),
    // then a guard that must stay as it is.
    size_t nBytes = nBufferLen > 0 ? static_cast<size_t>(nBufferLen) : 1;
    std::vector<uint8_t> buf(nBytes + GUARD, 0x5A);
    for (size_t i = 0; i < nBytes; i++) {
        buf[i] = HEADER + i < size ? data[HEADER + i] : 0;
    }
    std::vector<uint8_t> before = buf;
    if (!bAfter) {
        if (kra_buffer_proc_before(buf.data(), nDataLen, nBufferLen, procedure) != 0 && buf != before) {
            abort();
        }
        check_guard(buf, nBytes);
        return 0;
    }
    int nLen = nDataLen;
    int nStatus = kra_buffer_proc_after(buf.data(), &nLen, nBufferLen, procedure);
    if (nStatus != 0 && (buf != before || nLen != nDataLen)) {
        abort();
    }
    if (nStatus == 0 && nLen != nDataLen && (nLen < 0 || nLen > nBufferLen)) {
        abort();
    }
    check_guard(buf, nBytes);
    return 0;
}
