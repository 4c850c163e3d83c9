// SPDX-License-Identifier: Apache-2.0
// Signing where the key lives: a key file, a signing helper around OpenSSL's
// raw private-key operation, and two-step signing (a request signed block by
// block with openssl pkeyutl, or with key_tool sign-request) give the same
// image; every fault of a helper or a signatures file is refused with its own
// line and leaves out_file as it was.
#include <gtest/gtest.h>
#include <openssl/pem.h>

#include <csignal>
#include <filesystem>
#include <pty.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>

#include "signing_helper.h"
#include "test_support.h"
#include "token_support.h"

namespace {

// OpenSSL's raw private-key operation on a 128-byte big-endian input: what a
// helper or an offline machine runs.
const char *const PKEYUTL = "openssl pkeyutl -decrypt -pkeyopt rsa_padding_mode:none -inkey";

// A signing key as a PEM private key, its PEM public half and its key file;
// the inputs of a run, the image it signs, and a previous out_file; where a
// request and its signatures go, and the raw private-key operation with the
// PEM key.
struct SignerFiles : SigningFiles {
    Key pKey{new_rsa_key(1024), EVP_PKEY_free};
    std::string pem = dir.file("sign.pem");
    std::string pub = dir.file("sign_pub.pem");
    std::string request = dir.file("request.bin");
    std::string sigs = dir.file("sigs.bin");
    std::string pkeyutl = std::string(PKEYUTL) + " " + pem;
    Bytes previous = random_bytes(3000, 601);
    Bytes expected;

    SignerFiles() : SigningFiles(50000, 602)
    {
        write_file(key, key_file_of(pKey.get()));
        FILE *fp = fopen(pem.c_str(), "w");
        PEM_write_PrivateKey(fp, pKey.get(), nullptr, nullptr, 0, nullptr, nullptr);
        fclose(fp);
        fp = fopen(pub.c_str(), "w");
        PEM_write_PUBKEY(fp, pKey.get());
        fclose(fp);
        EXPECT_EQ(run().status, 0);
        expected = read_file(out);
        write_file(out, previous);
    }
    // An executable shell script in the folder.
    std::string script(const std::string &name, const std::string &body) const
    {
        std::string path = dir.file(name);
        std::string text = "#!/bin/sh\n" + body + "\n";
        write_file(path, Bytes(text.begin(), text.end()));
        chmod(path.c_str(), 0755);
        return path;
    }
    // encrypt_tool with options before the five arguments, key the fourth.
    // The run inherits a descriptor 3 that is not close-on-exec (as make's job server leaves one).
    RunResult sign(std::vector<std::string> options, const std::string &keyArg) const
    {
        options.insert(options.begin(), {"/bin/sh", "-c", "exec 3</dev/null; exec \"$@\"", "sh", ENCRYPT_TOOL_PATH});
        options.insert(options.end(), {in, out, code, keyArg, comm});
        return run_program(options);
    }
    // The request for this image, signed block by block with openssl pkeyutl
    // and the PEM key pemKey, into the signatures file sigs.
    bool sign_request_with_openssl(const std::string &request, const std::string &sigs,
                                   const std::string &pemKey) const
    {
        std::string loop = "for i in 0 1 2 3; do dd if=\"$0\" bs=128 skip=$i count=1 status=none | " +
                           std::string(PKEYUTL) + " \"$2\" || exit 1; done > \"$1\"";
        return run_program({"/bin/sh", "-c", loop, request, sigs, pemKey}).status == 0;
    }
};

TEST(SigningWays, EveryWayGivesTheKeyFilesBytes)
{
    SignerFiles f;
    std::string helper = f.script("helper.sh", "exec " + f.pkeyutl);
    // The same key in a SoftHSM2 token, for key_tool sign-request.
    SoftHsm hsm;
    bool bToken = hsm.bReady && hsm.init_token("offline", "2468") &&
                  hsm.import_key(f.pKey.get(), "offline", "sign", "01", "2468");
    ASSERT_TRUE(bToken || !hsm.bReady) << "SoftHSM2 is installed, but the token was not made";
    std::string tokenKey = hsm.uri("token=offline;object=sign", "pin-value=2468");
    enum Way { HELPER, REQUEST_OPENSSL, REQUEST_KEY_TOOL };
    struct {
        const char *why;
        Way way;
        std::string keyArg;  // the public half as given
        std::string signKey; // what key_tool sign-request signs with
    } cases[] = {
        {"helper, PEM public key", HELPER, f.pub, ""},
        {"helper, key file as public half", HELPER, f.key, ""},
        {"two steps, openssl pkeyutl per block", REQUEST_OPENSSL, f.pub, ""},
        {"two steps, key_tool sign-request", REQUEST_KEY_TOOL, f.pub, f.key},
        {"two steps, key_tool sign-request with the key in a token", REQUEST_KEY_TOOL, f.pub, tokenKey},
    };
    for (const auto &c : cases) {
        if (c.signKey == tokenKey && !bToken) {
            continue; // SoftHSM2 is not installed
        }
        write_file(f.out, f.previous);
        RunResult r{};
        if (c.way == HELPER) {
            r = f.sign({"--signing-helper", helper}, c.keyArg);
        } else {
            std::filesystem::remove(f.sigs);
            r = f.sign({"--request", f.request}, c.keyArg);
            ASSERT_EQ(r.status, 0) << c.why << r.out << r.err;
            EXPECT_EQ(read_file(f.out), f.previous) << "a request leaves out_file alone";
            EXPECT_EQ(read_file(f.request).size(), 512u);
            if (c.way == REQUEST_OPENSSL) {
                ASSERT_TRUE(f.sign_request_with_openssl(f.request, f.sigs, f.pem)) << c.why;
            } else {
                RunResult signedRequest = run_key_tool({"sign-request", f.request, f.sigs, c.signKey});
                ASSERT_EQ(signedRequest.status, 0) << signedRequest.err;
                EXPECT_NE(signedRequest.out.find("Signed 4 blocks: " + f.sigs), std::string::npos);
            }
            r = f.sign({"--signatures", f.sigs}, c.keyArg);
        }
        EXPECT_EQ(r.status, 0) << c.why << r.out << r.err;
        EXPECT_EQ(r.out + r.err, "") << c.why;
        EXPECT_TRUE(read_file(f.out) == f.expected) << c.why;
    }
    // The helper's answer is read to its end though each call that goes on leaves errno stale (EINTR).
    write_file(f.out, f.previous);
    std::vector<std::string> stale{"LD_PRELOAD=" IO_FAULT_SHIM_PATH, "IO_FAULT_STALE_ERRNO=" + std::to_string(EINTR)};
    RunResult r = run_program(env_argv(stale, {ENCRYPT_TOOL_PATH, "--signing-helper", helper, f.in, f.out, f.code,
                                               f.pub, f.comm}), 30);
    EXPECT_TRUE(SANITIZED_BUILD || (r.status == 0 && read_file(f.out) == f.expected)) << r.status << r.err;
}

TEST(SigningWays, HelperAndSignatureFaultsLeaveTheImageAsItWas)
{
    SignerFiles f;
    SignerFiles other; // another key, another image
    ASSERT_EQ(f.sign({"--request", f.request}, f.pub).status, 0);
    ASSERT_TRUE(f.sign_request_with_openssl(f.request, f.sigs, f.pem));
    Bytes good = read_file(f.sigs);
    write_file(other.in, random_bytes(50000, 604));
    ASSERT_EQ(other.sign({"--request", other.request}, other.pub).status, 0);
    std::string otherImageSigs = other.dir.file("image.bin");
    ASSERT_TRUE(f.sign_request_with_openssl(other.request, otherImageSigs, f.pem));
    std::string otherKeySigs = other.dir.file("key.bin");
    ASSERT_TRUE(f.sign_request_with_openssl(f.request, otherKeySigs, other.pem));
    Bytes swapped = good;
    std::swap_ranges(swapped.begin(), swapped.begin() + 128, swapped.begin() + 128);
    std::string swappedSigs = f.dir.file("swapped.bin");
    write_file(swappedSigs, swapped);
    std::string shortSigs = f.dir.file("short.bin"), longSigs = f.dir.file("long.bin"), lineSigs = f.dir.file("line.bin");
    write_file(shortSigs, Bytes(good.begin(), good.end() - 1));
    good.push_back(0), write_file(longSigs, good);
    good.back() = '\n', write_file(lineSigs, good); // as an editor may leave it

    auto helper = [&](const char *name, const std::string &body) { return f.script(name, body); };
    std::string nobody = f.dir.file("no-such-helper");
    struct Case {
        std::vector<std::string> options;
        std::string err; // the line on standard error, after "encrypt_tool: "
    };
    // A helper script that fails, and the line naming it with what it did.
    auto failing = [&](const char *name, const std::string &body, const std::string &what) {
        return Case{{"--signing-helper", helper(name, body)}, "block 0: the signing helper " + f.dir.file(name) + what};
    };
    auto not_this_image = [](const std::string &sigs) {
        return Case{{"--signatures", sigs}, "block 0: result 0 of " + sigs + " does not restore to this image's block "
                                            "with the public key (made for another image, another key or in another "
                                            "order?)"};
    };
    auto wrong_size = [](const std::string &sigs, const char *size) {
        return Case{{"--signatures", sigs}, "the signatures file " + sigs + " holds " + size +
                                                " bytes, not 512 (four results of 128 bytes)"};
    };
    const Case cases[] = {
        failing("exit1.sh", "cat > /dev/null; exit 1", " exited with status 1"),
        failing("signed-exit3.sh", f.pkeyutl + "; exit 3", " exited with status 3"), // its whole result, then a failure
        failing("killed.sh", "kill -KILL $$", " was ended by signal 9 (Killed)"),
        failing("short.sh", f.pkeyutl + " | head -c 127", " wrote 127 bytes, not 128"),
        failing("long.sh", f.pkeyutl + "; printf x; exec sleep 600", " wrote more than 128 bytes"),
        failing("long-exit.sh", f.pkeyutl + "; printf x", " wrote more than 128 bytes"), // and ended at once
        failing("no-input.sh", "head -c 128 /dev/zero", " did not read its input"), // nor half of it:
        failing("half-input.sh", "dd bs=64 count=1 status=none; head -c 64 /dev/zero", " did not read its input"),
        {{"--signing-helper", helper("block1.sh", "cat > /dev/null; dd if=" + f.request +
                                                      " bs=128 skip=1 count=1 status=none | " + f.pkeyutl)},
         "block 0: the signing helper's result does not restore with the public key of " + f.pub},
        failing("fds.sh", "grep SigIgn /proc/self/status 1>&2; exec ls /proc/self/fd 1>&2", " wrote 0 bytes, not 128"),
        {{"--signing-helper", nobody}, "block 0: cannot start the signing helper " + nobody +
                                           ": No such file or directory"},
        not_this_image(swappedSigs), not_this_image(otherImageSigs), not_this_image(otherKeySigs),
        wrong_size(shortSigs, "511"), wrong_size(longSigs, "more than 512"), wrong_size(lineSigs, "more than 512"),
        {{"--signatures", nobody}, "cannot open the signatures file " + nobody + ": No such file or directory"},
    };
    for (const auto &c : cases) {
        std::vector<std::string> before = folder_names(f.dir.path);
        RunResult r = f.sign(c.options, f.pub);
        EXPECT_EQ(r.status, 1) << c.err;
        EXPECT_EQ(r.out, "Key file error: " + f.pub + "\n") << c.err;
        // The helper's own standard error comes first where it writes one.
        size_t nOurs = r.err.rfind("encrypt_tool: ");
        EXPECT_EQ(r.err.substr(nOurs == std::string::npos ? 0 : nOurs), "encrypt_tool: " + c.err + "\n") << r.err;
        EXPECT_TRUE(read_file(f.out) == f.previous) << c.err;
        EXPECT_EQ(folder_names(f.dir.path), before) << c.err;
        if (c.options[1] == f.dir.file("fds.sh")) {
            // "SigIgn:\t" and 16 hex digits, then the descriptors.
            ASSERT_EQ(r.err.substr(0, 8), "SigIgn:\t") << r.err;
            unsigned long long nIgnored = std::stoull(r.err.substr(8, 16), nullptr, 16);
            EXPECT_EQ(nIgnored & ((1ULL << (SIGPIPE - 1)) | (1ULL << (SIGXFSZ - 1))), 0u)
                << "the helper gets SIGPIPE and SIGXFSZ as they are by default";
            EXPECT_EQ(r.err.substr(25, nOurs - 25), "0\n1\n2\n3\n") << "the helper gets only its three streams";
        }
    }
}

// True while process nPid runs (a zombie has ended).
bool running(int nPid)
{
    Bytes stat = read_file("/proc/" + std::to_string(nPid) + "/stat");
    std::string text(stat.begin(), stat.end());
    size_t nParen = text.rfind(')');
    return nParen != std::string::npos && nParen + 2 < text.size() && text[nParen + 2] != 'Z';
}

// The pids noted in a file, one a line.
std::vector<int> pids_noted(const std::string &path)
{
    Bytes text = read_file(path);
    std::istringstream words(std::string(text.begin(), text.end()));
    std::vector<int> pids;
    for (int nPid = 0; words >> nPid;) {
        pids.push_back(nPid);
    }
    return pids;
}

// The helper runs in a process group of its own that ends with the helper:
// its result is taken once it has exited, whatever it left running (which is
// ended: it held the pipe, and the run would wait for it); SIGTERM, SIGINT and
// SIGHUP while it waits (for a person, say) go to the whole group, and none of
// it is left when the tool has ended by the signal (SIGKILL after 2 s for what
// ignores it, as a shell's background child ignores SIGINT); out_file is then
// as it was. Each process of the helper notes its pid.
TEST(SigningWays, TheHelpersGroupEndsWithTheRun)
{
    SignerFiles f;
    std::string pidFile = f.dir.file("helper.pids");
    std::string note = " echo $! >> " + pidFile + ";";
    std::string leaves = f.script("leaves.sh", f.pkeyutl + "; sleep 30 &" + note);
    std::string waits = f.script("waits.sh", "echo $$ >> " + pidFile + "; exec sleep 600");
    std::string shell = f.script("shell.sh", "sleep 600 &" + note + " sleep 601 &" + note + " echo $$ >> " + pidFile +
                                                 "; wait");
    struct {
        std::string helper;
        int nSignal;  // 0: none, the run signs
        size_t nPids; // noted by the time the signal is sent
    } cases[] = {{leaves, 0, 4},      {waits, SIGTERM, 1}, {waits, SIGINT, 1}, {waits, SIGHUP, 1},
                 {shell, SIGTERM, 3}, {shell, SIGINT, 3},  {shell, SIGHUP, 3}};
    for (const auto &c : cases) {
        std::filesystem::remove(pidFile);
        write_file(f.out, f.previous);
        auto start = std::chrono::steady_clock::now();
        int pid = spawn_program({ENCRYPT_TOOL_PATH, "--signing-helper", c.helper, f.in, f.out, f.code, f.pub, f.comm});
        for (int i = 0; i < 1000 && c.nSignal != 0 && pids_noted(pidFile).size() < c.nPids; i++) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        EXPECT_EQ(c.nSignal == 0 || kill(pid, c.nSignal) == 0, true);
        auto signalled = std::chrono::steady_clock::now();
        int nStatus = wait_program(pid);
        EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 20)
            << "the run waited for what the helper left";
        // The signal itself reaches the group at once: no wait for the SIGKILL after 2 s, unless a
        // shell's background child ignores it (SIGINT): that one gets it 2 s on.
        double nSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - signalled).count();
        bool bIgnored = c.helper == shell && c.nSignal == SIGINT;
        EXPECT_TRUE(c.nSignal == 0 || (nSeconds < (bIgnored ? 3.5 : 1.5) && (!bIgnored || nSeconds > 1.9)))
            << c.helper << " " << c.nSignal << ": " << nSeconds << " s";
        EXPECT_TRUE(c.nSignal == 0 ? WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 0
                                   : WIFSIGNALED(nStatus) && WTERMSIG(nStatus) == c.nSignal)
            << c.helper << " " << c.nSignal << ": " << nStatus;
        EXPECT_TRUE(read_file(f.out) == (c.nSignal == 0 ? f.expected : f.previous)) << c.helper << " " << c.nSignal;
        std::vector<int> pids = pids_noted(pidFile);
        EXPECT_EQ(pids.size(), c.nPids) << c.helper;
        for (int nPid : pids) {
            EXPECT_FALSE(running(nPid)) << c.helper << " " << c.nSignal << ": pid " << nPid << " is left";
            if (running(nPid)) {
                kill(nPid, SIGKILL);
            }
        }
    }
}

// Each run of a helper, whatever it did, leaves none of its pipes open in the tool.
TEST(SigningWays, AHelpersRunLeavesNoDescriptorOpen)
{
    SignerFiles f;
    unsigned char szBlock[SI_BLOCK_SIZE] = {1}, szOut[SI_BLOCK_SIZE];
    int nBefore = open_descriptor_count();
    for (auto [pBody, bOk] : {std::pair{"cat", true}, {"exit 1", false}, {"head -c 128 /dev/zero", false}}) {
        std::string why;
        EXPECT_EQ(run_signing_helper(f.script("run.sh", pBody).c_str(), "key", szBlock, szOut, &why), bOk) << why;
        EXPECT_EQ(open_descriptor_count(), nBefore) << pBody;
    }
}

// A helper may ask a person on the terminal: while it runs, its group has the
// terminal (from the background it would be stopped as it reads), and the
// tool takes it back after; Ctrl-C there ends the helper and the tool by
// SIGINT, out_file as it was.
TEST(SigningWays, AHelperMayAskOnTheTerminal)
{
    SignerFiles f;
    std::string asks = f.script("asks.sh", "printf 'approve? ' > /dev/tty; read answer < /dev/tty; exec " + f.pkeyutl);
    for (const std::string &answer : {std::string("y\n"), std::string("\x03")}) {
        write_file(f.out, f.previous);
        int nMaster = -1;
        pid_t pid = forkpty(&nMaster, nullptr, nullptr, nullptr);
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            exec_program({ENCRYPT_TOOL_PATH, "--signing-helper", asks, f.in, f.out, f.code, f.pub, f.comm});
        }
        int nAsked = 0;
        while (read_until(nMaster, "approve? ", 30).find("approve? ") != std::string::npos) {
            nAsked++;
            EXPECT_EQ(write(nMaster, answer.data(), answer.size()), static_cast<ssize_t>(answer.size()));
        }
        int nStatus = 0;
        if (waitpid(pid, &nStatus, WNOHANG) == 0) {
            kill(pid, SIGKILL); // it waits for a helper stopped at the terminal
            waitpid(pid, &nStatus, 0);
        }
        close(nMaster);
        bool bSigned = answer == "y\n";
        EXPECT_EQ(nAsked, bSigned ? 4 : 1) << answer;
        EXPECT_EQ(nStatus, bSigned ? 0 : SIGINT) << answer;
        EXPECT_TRUE(read_file(f.out) == (bSigned ? f.expected : f.previous)) << answer;
    }
}

} // namespace
