// SPDX-License-Identifier: Apache-2.0
// No private exponent left in a tool's memory when it exits, and none in a
// core dumped while it signs: looked for, byte for byte, in real memory images.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "encrypt_tool.h"
#include "key_file.h"
#include "test_support.h"
#include "token_support.h"

namespace {

// A signing key of 1024 bits, a common key of 1017, a 40000-byte image.
struct SigningFiles : ToolFiles {
    explicit SigningFiles(unsigned nSeed)
    {
        write_file(in, random_bytes(40000, nSeed));
        write_file(code, random_bytes(16384, nSeed + 1));
        write_file(key, key_file(test_key(1024)));
        write_file(comm, key_file(test_key(1017)));
    }
};

// The files every tool's run is given: a signed image of the signing key, and
// a PEM private key of OpenSSL's for key_tool import.
struct ToolRunFiles : SigningFiles {
    std::string signedImage = dir.file("signed.img");
    std::string pem = dir.file("k.pem");

    explicit ToolRunFiles(unsigned nSeed) : SigningFiles(nSeed)
    {
        EXPECT_EQ(run().status, 0);
        std::filesystem::rename(out, signedImage);
        EXPECT_EQ(run_program({"/usr/bin/openssl", "genpkey", "-algorithm", "RSA", "-pkeyopt",
                               "rsa_keygen_bits:1024", "-out", pem})
                      .status,
                  0);
    }
};

// True when any 16 consecutive bytes of the 128-byte little-endian value, in
// either byte order, appear in data.
bool holds_value(const Bytes &data, const Bytes &value)
{
    Bytes reversed(value.rbegin(), value.rend());
    for (const Bytes *pForm : std::initializer_list<const Bytes *>{&value, &reversed}) {
        for (size_t i = 0; i + 16 <= pForm->size(); i += 8) {
            Bytes window(pForm->begin() + static_cast<long>(i), pForm->begin() + static_cast<long>(i) + 16);
            if (std::all_of(window.begin(), window.end(), [](unsigned char b) { return b == 0; })) {
                continue;
            }
            if (std::search(data.begin(), data.end(), window.begin(), window.end()) != data.end()) {
                return true;
            }
        }
    }
    return false;
}

// Where core_at stops a run: at its last system call, or in its first
// modular exponentiation (signing, or checking a key).
const char *const kAtExit = "catch syscall exit_group";
const char *const kInExponentiation = "break fp_exptmod";

// Runs argv under gdb to the stop, and writes its memory there.
bool core_at(const std::vector<std::string> &argv, const std::string &core, const char *pStop = kAtExit)
{
    std::vector<std::string> gdb{"/usr/bin/gdb", "-nx", "-batch", "-ex", "set pagination off",
                                 "-ex", "set breakpoint pending on", "-ex", pStop, "-ex", "run",
                                 "-ex", "gcore " + core, "-ex", "kill", "--args"};
    gdb.insert(gdb.end(), argv.begin(), argv.end());
    run_program(gdb, 120);
    return file_exists(core) && std::filesystem::file_size(core) > 0;
}

// Each tool that reads a private exponent, stopped at exit: the exponent is
// nowhere in its memory (stack, heap, registers saved anywhere). The common
// key's, which encrypt_tool never uses, is gone before it signs.
TEST(SecretsAtExit, NoToolKeepsThePrivateExponent)
{
    if (!file_exists("/usr/bin/gdb") || SANITIZED_BUILD) {
        GTEST_SKIP() << "needs gdb and a build without sanitizers";
    }
    ToolRunFiles f(401);
    const std::string &signedImage = f.signedImage;
    const std::string &pem = f.pem;
    ASSERT_EQ(run_key_tool({"export", f.key, f.dir.file("pub.pem")}).status, 0);
    std::vector<std::string> signing{ENCRYPT_TOOL_PATH, f.in, f.out, f.code, f.key, f.comm};
    struct {
        const char *name;
        std::vector<std::string> argv;
        std::string keyFile; // whose private exponent is looked for
        const char *pStop = kAtExit;
    } runs[] = {
        {"encrypt_tool", signing, f.key},
        {"encrypt_tool, common key", signing, f.comm},
        {"encrypt_tool signing, common key", signing, f.comm, kInExponentiation},
        {"verify_tool --key", {VERIFY_TOOL_PATH, "--key", f.key, signedImage}, f.key},
        {"key_tool show", {KEY_TOOL_PATH, "show", f.key}, f.key},
        {"key_tool export", {KEY_TOOL_PATH, "export", "--force", f.key, f.dir.file("pub.pem")}, f.key},
        {"key_tool import", {KEY_TOOL_PATH, "import", pem, f.dir.file("imported.key")}, f.dir.file("imported.key")},
        {"key_tool generate", {KEY_TOOL_PATH, "generate", f.dir.file("new.key")}, f.dir.file("new.key")},
    };
    for (const auto &run : runs) {
        std::string core = f.dir.file("exit.core");
        std::filesystem::remove(core);
        if (!core_at(run.argv, core, run.pStop)) {
            GTEST_SKIP() << "gdb cannot write a core here";
        }
        Bytes file = read_file(run.keyFile);
        ASSERT_EQ(file.size(), 1656u) << run.name;
        Bytes d(file.begin() + 1104, file.begin() + 1104 + 128);
        EXPECT_FALSE(holds_value(read_file(core), d)) << run.name << " holds the private exponent where it stopped";
        std::filesystem::remove(core);
    }
}

// Hex of the 128-byte little-endian private exponent of a key file.
std::string exponent_hex(const Bytes &keyFile)
{
    std::string hex;
    for (size_t i = 1104; i < 1104 + 128; i++) {
        char szByte[3];
        snprintf(szByte, sizeof(szByte), "%02x", keyFile[i]);
        hex += szByte;
    }
    return hex;
}

// No tool frees a heap block that still holds the private exponent: OpenSSL's
// decoders, stdio buffers and our own buffers are all cleared first.
TEST(SecretsInHeap, NoFreedBlockHoldsThePrivateExponent)
{
    if (SANITIZED_BUILD) {
        GTEST_SKIP() << "the sanitizers' runtime must come first";
    }
    ToolRunFiles f(421);
    const std::string &signedImage = f.signedImage;
    const std::string &pem = f.pem;
    ASSERT_EQ(run_key_tool({"import", pem, f.dir.file("pem.key")}).status, 0);
    std::string keyHex = exponent_hex(read_file(f.key));
    std::string commHex = exponent_hex(read_file(f.comm));
    std::string pemHex = exponent_hex(read_file(f.dir.file("pem.key")));
    std::filesystem::remove(f.dir.file("pem.key"));
    struct {
        const char *name;
        std::string secret;
        std::vector<std::string> args;
    } runs[] = {
        {"encrypt_tool", keyHex, {ENCRYPT_TOOL_PATH, f.in, f.out, f.code, f.key, f.comm}},
        {"encrypt_tool, common key", commHex, {ENCRYPT_TOOL_PATH, f.in, f.out, f.code, f.key, f.comm}},
        {"verify_tool --key", keyHex, {VERIFY_TOOL_PATH, "--key", f.key, signedImage}},
        {"key_tool show", keyHex, {KEY_TOOL_PATH, "show", f.key}},
        {"key_tool export", keyHex, {KEY_TOOL_PATH, "export", f.key, f.dir.file("pub.pem")}},
        {"key_tool import", pemHex, {KEY_TOOL_PATH, "import", pem, f.dir.file("pem.key")}},
    };
    for (const auto &run : runs) {
        std::vector<std::string> argv{"/usr/bin/env", std::string("LD_PRELOAD=") + IO_FAULT_SHIM_PATH,
                                      "FAULT_FREE_SECRET=" + run.secret};
        argv.insert(argv.end(), run.args.begin(), run.args.end());
        RunResult r = run_program(argv);
        EXPECT_EQ(r.status, 0) << run.name << ": " << r.err;
        EXPECT_EQ(r.err.find("a freed block holds the secret"), std::string::npos) << run.name;
    }
}

// The stack a run used, read back in this process right after it: no copy of
// the exponent in any of its frames (key buffers, the codec's big integers),
// before any wipe at exit.
[[gnu::noinline]] __attribute__((no_sanitize("address"))) bool stack_holds_after(const std::function<void()> &run,
                                                                                  const Bytes &d)
{
    uintptr_t nFrame = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
    constexpr size_t kDepth = 200 * 1024;
    Bytes below(kDepth);
    run();
    for (size_t i = 0; i < kDepth; i++) {
        below[i] = *reinterpret_cast<const volatile unsigned char *>(nFrame - kDepth + i);
    }
    return holds_value(below, d);
}

// A signing run (both keys' exponents), and a key file read as key_tool and
// verify_tool read one, into a blob on the heap.
TEST(SecretsInProcess, RunsLeaveNoExponentOnTheStack)
{
    SigningFiles f(431);
    std::vector<std::string> args{"encrypt_tool", f.in, f.out, f.code, f.key, f.comm};
    std::vector<char *> argv;
    for (std::string &a : args) {
        argv.push_back(a.data());
    }
    int nStatus = -1;
    auto sign = [&] { nStatus = encrypt_tool_run(6, argv.data()); };
    Bytes blob(RSA_KEY_BLOB_SIZE);
    size_t nFileSize = 0;
    auto read = [&] { nStatus = read_key_file(f.key.c_str(), blob.data(), &nFileSize); };
    struct {
        const char *name;
        std::function<void()> run;
        const TestKey &key;
    } runs[] = {{"signing run", sign, test_key(1024)},
                {"signing run, common key", sign, test_key(1017)},
                {"read_key_file", read, test_key(1024)}};
    for (const auto &run : runs) {
        nStatus = -1;
        EXPECT_FALSE(stack_holds_after(run.run, bn_to_le(run.key.d, 128))) << run.name;
        EXPECT_EQ(nStatus, 0) << run.name;
    }
    EXPECT_EQ(Bytes(blob.begin() + 256, blob.end()), bn_to_le(test_key(1024).d, 128));
}

// A signing run stopped by SIGQUIT in its first private exponentiation, with
// cores allowed: it dumps none, and so no core holds the exponent.
TEST(SecretsInCore, NoCoreOfARunStoppedMidSigningHoldsTheExponent)
{
    std::ifstream patternFile("/proc/sys/kernel/core_pattern");
    std::string pattern;
    std::getline(patternFile, pattern);
    if (SANITIZED_BUILD || pattern.empty() || pattern[0] == '|') {
        GTEST_SKIP() << "cores go to a program here (" << pattern << "), or the build is sanitized";
    }
    SigningFiles f(411);
    const TestKey &key = test_key(1024);
    Bytes d = bn_to_le(key.d, 128);
    std::string shim = IO_FAULT_SHIM_PATH;
    // sh -c SCRIPT FOLDER SHIM TOOL ARGS...: $0 is the folder, $1 the shim.
    std::string script = "ulimit -c unlimited && cd \"$0\" && shim=$1 && shift && "
                         "exec env LD_PRELOAD=\"$shim\" FAULT_QUIT_IN_EXPTMOD=1 \"$@\"";
    for (std::vector<std::string> tool : {std::vector<std::string>{ENCRYPT_TOOL_PATH, f.in, f.out, f.code, f.key, f.comm},
                                          std::vector<std::string>{KEY_TOOL_PATH, "show", f.key}}) {
        std::vector<std::string> argv{"/bin/sh", "-c", script, f.dir.path, shim};
        argv.insert(argv.end(), tool.begin(), tool.end());
        int pid = spawn_program(argv);
        int status = wait_program(pid);
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGQUIT) << tool[0] << " was not stopped mid-run";
        for (const std::string &name : folder_names(f.dir.path)) {
            if (name.rfind("core", 0) == 0) {
                EXPECT_FALSE(holds_value(read_file(f.dir.file(name)), d)) << tool[0] << ": " << name;
                std::filesystem::remove(f.dir.file(name));
            }
        }
        EXPECT_FALSE(WCOREDUMP(status)) << tool[0] << " dumped a core";
    }

    // Each tool stopped while it waits on a FIFO for a secret: a key file, a
    // passphrase, a PIN from a pin-source file. It has made itself
    // non-dumpable before it reads any of them, and dumps no core.
    SoftHsm hsm;
    EVP_PKEY *pKey = new_rsa_key(1024);
    // "alone" has no public key object: its public half too needs the login.
    bool bToken = hsm.bReady && hsm.init_token("fifo", "4321") && hsm.import_key(pKey, "fifo", "sign", "01", "4321") &&
                  create_key(pKey, "fifo", reinterpret_cast<const unsigned char *>("4321"), 4, "alone", CK_FALSE, false);
    EVP_PKEY_free(pKey);
    std::string fifo = f.dir.file("secret.fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::string uri = hsm.uri("token=fifo;object=sign", "pin-source=" + fifo);
    std::string pem = f.dir.file("locked.pem");
    ASSERT_EQ(run_program({"/usr/bin/openssl", "genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:1024",
                           "-aes-128-cbc", "-pass", "pass:secret", "-out", pem})
                  .status,
              0);
    const std::vector<std::string> waiting[] = {
        {ENCRYPT_TOOL_PATH, f.in, f.out, f.code, fifo, f.comm},
        {VERIFY_TOOL_PATH, "--key", fifo, f.in},
        {KEY_TOOL_PATH, "import", "--passphrase-file", fifo, pem, f.dir.file("imported.key")},
        {ENCRYPT_TOOL_PATH, f.in, f.out, f.code, uri, f.comm},
        {VERIFY_TOOL_PATH, "--key", hsm.uri("token=fifo;object=alone", "pin-source=" + fifo), f.in},
        {KEY_TOOL_PATH, "show", uri},
    };
    for (const std::vector<std::string> &tool : waiting) {
        bool bUri = std::any_of(tool.begin(), tool.end(), [](const std::string &a) { return a.rfind("pkcs11:", 0) == 0; });
        if (bUri && !bToken) {
            continue; // SoftHSM2 is not installed
        }
        std::vector<std::string> argv{"/bin/sh", "-c", "ulimit -c unlimited && cd \"$0\" && exec \"$@\"", f.dir.path};
        argv.insert(argv.end(), tool.begin(), tool.end());
        int pid = spawn_program(argv);
        // Once a writer opens the FIFO, the tool's open returns and it waits
        // in its read: well inside main.
        int fdWriter = -1;
        for (int i = 0; i < 1000 && fdWriter < 0; i++) {
            fdWriter = open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ASSERT_GE(fdWriter, 0) << tool[0] << " never opened the FIFO";
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        kill(pid, SIGQUIT);
        int status = wait_program(pid);
        close(fdWriter);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGQUIT) << tool[0] << " " << tool[1];
        EXPECT_FALSE(WCOREDUMP(status)) << tool[0] << " " << tool[1] << " dumped a core while it waited for a secret";
        for (const std::string &name : folder_names(f.dir.path)) {
            EXPECT_NE(name.rfind("core", 0), 0u) << tool[0] << " " << tool[1] << ": " << name;
        }
    }
}

// The wipes need no more stack than the exponentiation: a signing run fits a
// stack limit of 160 KiB, which the exponentiation needs anyway.
TEST(SecretsStack, SigningFitsA160KiBStack)
{
    if (SANITIZED_BUILD) {
        GTEST_SKIP() << "the sanitizers' frames are larger";
    }
    SigningFiles f(441);
    std::vector<std::string> argv{"/bin/sh", "-c", "ulimit -s 160 && exec \"$0\" \"$@\"", ENCRYPT_TOOL_PATH,
                                  f.in, f.out, f.code, f.key, f.comm};
    EXPECT_EQ(run_program(argv).status, 0);
    argv = {"/bin/sh", "-c", "ulimit -s 160 && exec \"$0\" \"$@\"", VERIFY_TOOL_PATH, "--key", f.key, f.out};
    EXPECT_EQ(run_program(argv).status, 0);
}

} // namespace
