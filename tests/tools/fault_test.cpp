// SPDX-License-Identifier: Apache-2.0
// Faults through the process: key files of every length, images around every
// window boundary, closed standard descriptors.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "test_support.h"

namespace {

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

// A key file cut at any length: a signing key either still holds the whole
// key (and signs as the full file does) or is refused, the previous output
// left as it was; the common key is carried as it comes, zero-filled.
TEST(FaultKeyLengths, KeysOfEveryLength)
{
    SigningFiles r(40000, 101);
    Bytes sign = key_file(test_key(1024)), comm = key_file(test_key(1017)), longer = sign, junk = random_bytes(100, 103);
    longer.insert(longer.end(), junk.begin(), junk.end());
    ASSERT_EQ(r.run().status, 0);
    Bytes reference = read_file(r.out);
    // The lengths around a record's edges, and every 25th up to 1700.
    std::vector<size_t> lengths{127, 128, 551, 552, 553, 555, 1103, 1104, 1105, 1231, 1232, 1655, 1656, 1657};
    for (size_t n = 0; n <= 1700; n += 25) {
        lengths.push_back(n);
    }
    for (bool bSigning : {true, false}) {
        for (size_t nLen : lengths) {
            const Bytes &full = bSigning ? longer : comm;
            Bytes cut(full.begin(), full.begin() + static_cast<long>(std::min(nLen, full.size())));
            write_file(bSigning ? r.key : r.comm, cut);
            RunResult result = r.run();
            bool bSigns = !bSigning || blob_of(cut) == blob_of(sign);
            EXPECT_EQ(result.status, bSigns ? 0 : 1) << bSigning << " " << nLen;
            EXPECT_TRUE(bSigns || result.out == "Key file error: " + r.key + "\n") << nLen;
            Bytes out = read_file(r.out), blob = blob_of(cut);
            EXPECT_TRUE(bSigning ? out == reference : std::equal(blob.begin(), blob.begin() + 256, out.begin() + 16384 + 384))
                << bSigning << " " << nLen;
        }
        write_file(r.key, sign);
    }
}

TEST(FaultImageSizes, AroundEveryWindowBoundary)
{
    SigningFiles r(0, 120); // its image written for each size
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

// An input cut short while it is copied, by any number of bytes (here in its
// trailing hole, where the copy reads nothing), is named as one that shrank:
// the image for encrypt_tool, the signed image for verify_tool's restore; the
// file each would write is left as it was.
TEST(FaultShrink, AnInputCutShortDuringTheCopyIsNamed)
{
    if (SANITIZED_BUILD) {
        GTEST_SKIP() << "the fault shim cannot come before the sanitizers' runtime";
    }
    SigningFiles r(65536, 130);
    std::string image = r.dir.file("signed.img"), restored = r.dir.file("restored.img");
    for (size_t nBy : {1, 64, 127, 128, 4096}) {
        for (bool bRestore : {false, true}) {
            ASSERT_EQ(truncate(r.in.c_str(), 1 << 20), 0);
            ASSERT_TRUE(!bRestore || run_encrypt({r.in, image, r.code, r.key, r.comm}).status == 0);
            const std::string &input = bRestore ? image : r.in, &output = bRestore ? restored : r.out;
            write_file(output, Bytes{7});
            std::vector<std::string> env{std::string("LD_PRELOAD=") + IO_FAULT_SHIM_PATH,
                                         "IO_FAULT=shrink:" + input + ":" + std::to_string(nBy)};
            RunResult run = run_program(bRestore
                                            ? env_argv(env, {VERIFY_TOOL_PATH, "--force", "--restore", restored, image})
                                            : env_argv(env, {ENCRYPT_TOOL_PATH}, r.args()));
            std::string at = std::to_string(nBy) + (bRestore ? " restore: " : " sign: ") + run.out + run.err;
            EXPECT_EQ(run.status, bRestore ? 2 : 1) << at;
            EXPECT_NE((run.out + run.err).find(input), std::string::npos) << at;
            EXPECT_NE(run.err.find("the file shrank while it was copied"), std::string::npos) << at;
            EXPECT_EQ(read_file(output), Bytes{7}) << at;
        }
    }
}

// Started with descriptors 0, 1 and 2 closed, or 2 alone, each tool opens
// /dev/null on them before anything else: the input it waits on (a FIFO) is
// never one of them, nor the signing helper's standard error.
TEST(FaultDescriptors, NoFileOfARunIsAStandardDescriptor)
{
    if (geteuid() != 0) {
        GTEST_SKIP() << "the descriptors of a non-dumpable tool are root's to read";
    }
    ToolFiles f;
    write_file(f.key, key_file(test_key(1024)));
    std::string fifo = f.dir.file("input.fifo"), seen = f.dir.file("seen.txt"), helper = f.dir.file("helper.sh");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::string script = "#!/bin/sh\nreadlink /proc/self/fd/2 > " + seen + "; head -c 128 /dev/zero\n";
    write_file(helper, Bytes(script.begin(), script.end()));
    chmod(helper.c_str(), 0755);
    for (const std::vector<std::string> &args :
         {std::vector<std::string>{ENCRYPT_TOOL_PATH, "--signing-helper", helper, fifo, f.out, f.key, f.key, f.key},
          {VERIFY_TOOL_PATH, fifo}, {KEY_TOOL_PATH, "show", fifo}}) {
        for (const std::string closed : {"<&- >&- 2>&-", "2>&-"}) {
            int pid = spawn_program(env_argv({}, {"/bin/sh", "-c", "exec \"$0\" \"$@\" " + closed}, args));
            int fdFifo = open(fifo.c_str(), O_RDWR | O_CLOEXEC); // the tool's open goes on, its read waits
            std::string fds = "/proc/" + std::to_string(pid) + "/fd/";
            int fdSeen = -1;
            std::error_code error;
            for (int i = 0; i < 3000 && fdSeen == -1; i++) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
                for (int fd = 0; fd < 8; fd++) {
                    fdSeen = std::filesystem::read_symlink(fds + std::to_string(fd), error) == fifo ? fd : fdSeen;
                }
            }
            EXPECT_GE(fdSeen, 3) << args[0] << " " << closed;
            for (int fd = 0; fd <= 2; fd++) {
                EXPECT_EQ(std::filesystem::read_symlink(fds + std::to_string(fd), error), "/dev/null") << args[0] << fd;
            }
            EXPECT_EQ(write(fdFifo, "x", 1), 1);
            close(fdFifo);
            wait_program(pid);
            if (args[0] == ENCRYPT_TOOL_PATH) {
                EXPECT_EQ(read_file(seen), (Bytes{'/', 'd', 'e', 'v', '/', 'n', 'u', 'l', 'l', '\n'})) << closed;
            }
        }
        // Where /dev/null cannot be opened on one of them (its first open
        // fails), the tool stops at once rather than run with it shut.
        RunResult r = run_program({"/bin/sh", "-c", "ulimit -c 0; exec /usr/bin/env \"$@\" <&- >&- 2>&-", "sh",
                                   std::string("LD_PRELOAD=") + IO_FAULT_SHIM_PATH, "IO_FAULT_AT=1:5", args[0]});
        EXPECT_TRUE(SANITIZED_BUILD || r.nSignal == SIGABRT) << args[0] << ": " << r.status;
    }
}

} // namespace
