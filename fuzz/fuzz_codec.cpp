// SPDX-License-Identifier: Apache-2.0
// The codec on any key blob, mode word, length and capacity: it never writes
// past the capacity, and a refusal leaves the capacity cleared and length 0.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "byte_order.h"
#include "rsa_internal.h"

namespace {

constexpr size_t HEADER = RSA_KEY_BLOB_SIZE + 13;
constexpr int MAX_SOURCE = 4 * RSA_FIELD_SIZE;
constexpr size_t GUARD = 64;

int32_t load_i32(const uint8_t *p)
{
    return static_cast<int32_t>(load_le32(p));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < HEADER) {
        return 0;
    }
    const uint8_t *pKey = (data[0] & 1) ? nullptr : data + 1;
    int procedure = load_i32(data + 1 + RSA_KEY_BLOB_SIZE);
    int nDataLen = load_i32(data + 5 + RSA_KEY_BLOB_SIZE);
    int nCapacity = load_i32(data + 9 + RSA_KEY_BLOB_SIZE) % 2048;
    // The source holds exactly the bytes it says, so a read past it is caught.
    int nAvailable = static_cast<int>(size - HEADER) < MAX_SOURCE ? static_cast<int>(size - HEADER) : MAX_SOURCE;
    if (nDataLen > nAvailable) {
        nDataLen = nAvailable;
    }
    std::vector<uint8_t> src(data + HEADER, data + HEADER + (nDataLen > 0 ? nDataLen : 0));
    size_t nBytes = nCapacity > 0 ? static_cast<size_t>(nCapacity) : 0;
    std::vector<uint8_t> out(nBytes + GUARD, 0xA5);
    int nLen = nCapacity;
    int nStatus = do_rsa_enc_dec(src.empty() ? data : src.data(), nDataLen, out.data(), &nLen, procedure, pKey);
    for (size_t i = nBytes; i < out.size(); i++) {
        if (out[i] != 0xA5) {
            abort(); // written past the capacity
        }
    }
    if (nStatus != 0 && nLen != 0) {
        abort();
    }
    if (nStatus == 0 && (nLen < 0 || nLen > nCapacity)) {
        abort();
    }
    for (size_t i = static_cast<size_t>(nStatus == 0 ? nLen : 0); i < nBytes; i++) {
        if (out[i] != 0) {
            abort(); // the capacity beyond the output is cleared
        }
    }
    return 0;
}
