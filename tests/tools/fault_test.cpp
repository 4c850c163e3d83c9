// SPDX-License-Identifier: Apache-2.0
// Faults through the process: key files of every length, images around every
// window boundary.
#include <gtest/gtest.h>

#include "test_support.h"

namespace {

std::vector<size_t> key_lengths()
{
    std::vector<size_t> lengths;
    for (size_t n = 0; n <= 1700; n += 25) {
        lengths.push_back(n);
    }
    for (size_t n : {127, 128, 551, 552, 553, 555, 1103, 1104, 1105, 1231, 1232, 1655, 1656, 1657}) {
        lengths.push_back(n);
    }
    return lengths;
}

// The first 128 bytes of each of the three records, zero-filled.
Bytes blob_of(Bytes file)
{
    file.resize(1656, 0);
    Bytes blob;
    for (size_t r = 0; r < 3; r++) {
        blob.insert(blob.end(), file.begin() + static_cast<long>(552 * r),
                    file.begin() + static_cast<long>(552 * r + 128));
    }
    return blob;
}

// A signing key cut at any length either still holds the whole key (and signs
// as the full file does) or is refused, the previous output left as it was.
TEST(FaultKeyLengths, SigningKeyOfEveryLength)
{
    ToolFiles r;
    write_file(r.in, random_bytes(40000, 101));
    write_file(r.code, random_bytes(16384, 102));
    write_file(r.comm, key_file(test_key(1017)));
    Bytes full = key_file(test_key(1024));
    Bytes longer = full;
    Bytes junk = random_bytes(100, 103);
    longer.insert(longer.end(), junk.begin(), junk.end());
    write_file(r.key, full);
    ASSERT_EQ(r.run().status, 0);
    Bytes reference = read_file(r.out);
    for (size_t nLen : key_lengths()) {
        Bytes cut(longer.begin(), longer.begin() + static_cast<long>(nLen));
        write_file(r.key, cut);
        RunResult result = r.run();
        if (blob_of(cut) == blob_of(full)) {
            EXPECT_EQ(result.status, 0) << nLen;
            EXPECT_TRUE(read_file(r.out) == reference) << nLen;
        } else {
            EXPECT_EQ(result.status, 1) << nLen;
            EXPECT_EQ(result.out, "Key file error: " + r.key + "\n") << nLen;
            EXPECT_TRUE(read_file(r.out) == reference) << nLen;
        }
    }
}

// The common key is carried as it comes: any length signs, zero-filled.
TEST(FaultKeyLengths, CommonKeyOfEveryLength)
{
    ToolFiles r;
    write_file(r.in, random_bytes(20000, 111));
    write_file(r.code, Bytes{});
    write_file(r.key, key_file(test_key(1024)));
    Bytes full = key_file(test_key(1017));
    for (size_t nLen : key_lengths()) {
        Bytes cut(full.begin(), full.begin() + static_cast<long>(std::min(nLen, full.size())));
        write_file(r.comm, cut);
        RunResult result = r.run();
        ASSERT_EQ(result.status, 0) << nLen;
        Bytes out = read_file(r.out);
        Bytes blob = blob_of(cut);
        EXPECT_TRUE(std::equal(blob.begin(), blob.begin() + 256, out.begin() + 16384 + 384)) << nLen;
    }
}

TEST(FaultImageSizes, AroundEveryWindowBoundary)
{
    ToolFiles r;
    write_file(r.code, random_bytes(16384, 121));
    write_file(r.key, key_file(test_key(1024)));
    write_file(r.comm, key_file(test_key(1017)));
    for (size_t nBoundary : {16384, 32768, 49152, 65536}) {
        for (size_t nSize = nBoundary - 2; nSize <= nBoundary + 2; nSize++) {
            Bytes image = random_bytes(nSize, static_cast<unsigned>(nSize));
            write_file(r.in, image);
            ASSERT_EQ(r.run().status, 0) << nSize;
            Bytes out = read_file(r.out);
            ASSERT_EQ(out.size(), std::max<size_t>(nSize, 32768)) << nSize;
            EXPECT_TRUE(std::equal(out.begin() + 32768, out.end(), image.begin() + 32768)) << nSize;
            size_t nSpl = std::min<size_t>(nSize, 16384);
            EXPECT_TRUE(std::equal(out.begin() + 1024, out.begin() + static_cast<long>(std::max<size_t>(nSpl, 1024)),
                                   image.begin() + 1024))
                << nSize;
        }
    }
}

} // namespace
