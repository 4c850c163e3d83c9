// SPDX-License-Identifier: Apache-2.0
// No secret left in a tool's memory. One table of the paths that hold one (key
// files, PEM imports and their passphrase, PINs, the codec's blinding), each
// secret looked for in every encoding the code holds it in: in gdb's core of
// the run at its exit and at SIGQUIT while it waits after using the secret
// (registers included), in every block it frees, and in no kernel core at all.
#include <gtest/gtest.h>
#include <openssl/core_names.h>
#include <openssl/pem.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string_view>
#include <unordered_map>
#include <fcntl.h>
#include <pty.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "encrypt_tool.h"
#include "key_io.h"
#include "output_file.h"
#include "process_secrets.h"
#include "rsa_internal.h"
#include "key_file.h"
#include "public_key.h"
#include "test_support.h"
#include "token_pin.h"
#include "token_support.h"

namespace {

// A secret as the code may hold it: 16 bytes or more.
struct Needle {
    std::string name;
    Bytes bytes;
};
using Needles = std::vector<Needle>;

Needles operator+(Needles a, const Needles &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes hex(const Bytes &bytes, const char *pDigits = "0123456789abcdef")
{
    Bytes digits;
    for (unsigned char c : bytes) {
        digits.push_back(static_cast<unsigned char>(pDigits[c >> 4]));
        digits.push_back(static_cast<unsigned char>(pDigits[c & 15]));
    }
    return digits;
}

// A number, little-endian bytes le, big-endian (and little-endian unless
// bLittle is false), and both as hex in lower and upper case.
Needles number(const std::string &name, const Bytes &le, bool bLittle = true)
{
    Needles needles;
    for (const Bytes &form : {Bytes(le.rbegin(), le.rend()), le}) {
        std::string order = form == le ? " LE" : " BE";
        if (form != le || bLittle) {
            needles.push_back({name + order, form});
        }
        needles.push_back({name + order + " hex", hex(form)});
        needles.push_back({name + order + " HEX", hex(form, "0123456789ABCDEF")});
    }
    return needles;
}

// A key's secrets: d, p, q, d mod (p - 1), d mod (q - 1), q^-1 mod p and
// p^-1 mod q (primes recovered the other way round), and its DER (PKCS #1)
// from d on.
Needles key_secrets(const std::string &key, EVP_PKEY *pKey, bool bLittle = true)
{
    const char *apNames[] = {OSSL_PKEY_PARAM_RSA_D,         OSSL_PKEY_PARAM_RSA_FACTOR1,
                             OSSL_PKEY_PARAM_RSA_FACTOR2,   OSSL_PKEY_PARAM_RSA_EXPONENT1,
                             OSSL_PKEY_PARAM_RSA_EXPONENT2, OSSL_PKEY_PARAM_RSA_COEFFICIENT1};
    const char *apShown[] = {"d", "p", "q", "d mod (p - 1)", "d mod (q - 1)", "q^-1 mod p", "p^-1 mod q"};
    BIGNUM *values[7];
    for (int i = 0; i < 6; i++) {
        values[i] = rsa_number(pKey, apNames[i]);
    }
    BN_CTX *ctx = BN_CTX_new();
    values[6] = BN_mod_inverse(nullptr, values[1], values[2], ctx);
    Needles needles;
    for (int i = 0; i < 7; i++) {
        needles = needles + number(key + " " + apShown[i], bn_to_le(values[i], i == 0 ? 128 : 64), bLittle);
    }
    unsigned char *pDer = nullptr;
    int nDer = i2d_PrivateKey(pKey, &pDer);
    Bytes der(pDer, pDer + nDer), d = bn_to_le(values[0], BN_num_bytes(values[0]));
    needles.push_back({key + " DER", Bytes(std::search(der.begin(), der.end(), d.rbegin(), d.rend()) - 4, der.end())});
    OPENSSL_free(pDer);
    BN_CTX_free(ctx);
    for (BIGNUM *value : values) {
        BN_clear_free(value);
    }
    return needles;
}

// What a private-key block under n holds of its blinding when every random
// byte is 0x5A (FAULT_RANDOM): s = r, r R = V R^-1 mod n for the 248 bytes V
// (R = 2^1024, the Montgomery radix of 16 digits), r, r^-1, r^2, r^-2, r^e R.
Needles blinding(EVP_PKEY *pKey)
{
    BIGNUM *n = rsa_number(pKey, OSSL_PKEY_PARAM_RSA_N), *e = rsa_number(pKey, OSSL_PKEY_PARAM_RSA_E);
    BN_CTX *ctx = BN_CTX_new();
    BIGNUM *pRadix = BN_new(), *pInverse = BN_new(), *r = BN_new(), *x = BN_new();
    Bytes v(248, 0x5A);
    BIGNUM *rR = bn_from_le(v.data(), 248);
    BN_set_bit(pRadix, 1024);
    BN_mod_inverse(pInverse, pRadix, n, ctx);
    BN_mod_mul(rR, rR, pInverse, n, ctx);
    BN_mod_mul(r, rR, pInverse, n, ctx);
    Needles needles = number("blinding r R", bn_to_le(rR, 128)) + number("blinding r", bn_to_le(r, 128)) +
                      number("blinding r^-1", bn_to_le(BN_mod_inverse(x, r, n, ctx), 128));
    BN_mod_sqr(x, r, n, ctx);
    needles = needles + number("blinding r^2", bn_to_le(x, 128)) +
              number("blinding r^-2", bn_to_le(BN_mod_inverse(x, x, n, ctx), 128));
    BN_mod_exp(x, r, e, n, ctx);
    BN_mod_mul(x, x, pRadix, n, ctx);
    needles = needles + number("blinding r^e R", bn_to_le(x, 128));
    for (BIGNUM *bn : {n, e, pRadix, pInverse, r, x, rR}) {
        BN_clear_free(bn);
    }
    BN_CTX_free(ctx);
    return needles;
}

// The windows needles are looked for by, each with its needle: 16 bytes at
// steps of 8, none of one repeated byte (a number's leading zeros).
std::unordered_map<std::string_view, size_t> windows(const Needles &needles)
{
    std::unordered_map<std::string_view, size_t> all;
    for (size_t i = 0; i < needles.size(); i++) {
        const Bytes &b = needles[i].bytes;
        for (size_t at = 0; at + 16 <= b.size(); at += 8) {
            if (std::count(b.begin() + static_cast<long>(at), b.begin() + static_cast<long>(at) + 16, b[at]) < 16) {
                all.emplace(std::string_view(reinterpret_cast<const char *>(b.data()) + at, 16), i);
            }
        }
    }
    return all;
}

// How many windows of each needle data holds.
std::vector<size_t> occurrences(const Bytes &data, const Needles &needles)
{
    std::unordered_map<std::string_view, size_t> all = windows(needles);
    std::vector<size_t> found(needles.size());
    for (size_t at = 0; at + 16 <= data.size(); at++) {
        auto it = all.find(std::string_view(reinterpret_cast<const char *>(data.data()) + at, 16));
        found[it != all.end() ? it->second : 0] += it != all.end() ? 1 : 0;
    }
    return found;
}

// One path that holds secrets: a run to its exit, and a run that waits on
// the FIFO (where it names it; else it stops itself), each with the
// secrets it must not hold there.
struct SecretRun {
    const char *name;
    std::vector<std::string> argv; // to its exit; none: no such run
    Needles atExit;                // nor in a block it frees
    std::vector<std::string> waiting;
    Needles waited;
    const char *pPrompt = nullptr; // the terminal asks for `typed`
    std::string typed = "";
    Bytes head = {};               // written into the FIFO; none: nothing opens it
    std::string made = "";         // a key file it makes, whose d is looked for at exit
};

struct Files : SigningFiles {
    Files() : SigningFiles(40000, 401) {}
    std::string fifo = dir.file("secret.fifo"), pid = dir.file("pid"), core = dir.file("gdb.core");
};

// The pid the tool wrote to f.pid (0 before), and where it waits.
int tool_pid(const Files &f)
{
    int nPid = 0;
    std::ifstream(f.pid) >> nPid;
    return nPid;
}

std::string wait_channel(const Files &f)
{
    std::string where;
    std::getline(std::ifstream("/proc/" + std::to_string(tool_pid(f)) + "/wchan"), where);
    return tool_pid(f) > 0 ? where : "";
}

// Runs argv on a terminal of its own in f's folder, cores allowed: types the
// answer at the prompt, writes the head into the FIFO where argv names it,
// and once the tool waits there sends it SIGQUIT (its pid written to f.pid).
// Returns the wait status; *pScreen gets what the terminal showed.
int run_on_terminal(const std::vector<std::string> &argv, const SecretRun &run, const Files &f, std::string *pScreen)
{
    std::filesystem::remove(f.pid);
    int fdTerminal = -1;
    pid_t pid = forkpty(&fdTerminal, nullptr, nullptr, nullptr);
    if (pid == 0) {
        signal(SIGQUIT, SIG_DFL); // as a tool meets it, whatever this process was given
        closefrom(3);
        rlimit core{};
        getrlimit(RLIMIT_CORE, &core);
        core.rlim_cur = core.rlim_max;
        if (chdir(f.dir.path.c_str()) == 0 && setrlimit(RLIMIT_CORE, &core) == 0) {
            exec_program(argv);
        }
        _exit(127);
    }
    *pScreen = run.pPrompt != nullptr ? read_until(fdTerminal, run.pPrompt, 60) : "";
    std::string line = run.typed + "\n";
    EXPECT_TRUE(run.pPrompt == nullptr || write(fdTerminal, line.data(), line.size()) == static_cast<ssize_t>(line.size()));
    int fdWriter = -1;
    if (std::any_of(argv.begin(), argv.end(), [&](const std::string &a) { return a.find(f.fifo) != a.npos; })) {
        for (int i = 0; i < 1000 && !run.head.empty() && fdWriter < 0; i++) {
            fdWriter = open(f.fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        EXPECT_TRUE(run.head.empty() || (fcntl(fdWriter, F_SETFL, 0) == 0 &&
                                         write(fdWriter, run.head.data(), run.head.size()) == static_cast<ssize_t>(run.head.size())));
        // A read of a pipe, or an open that waits for the other end.
        for (int i = 0; i < 3000 && wait_channel(f).find("pipe_read") == std::string::npos &&
                        wait_channel(f).find("for_partner") == std::string::npos;
             i++) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        EXPECT_EQ(kill(tool_pid(f), SIGQUIT), 0) << run.name << " never waited on the FIFO";
    }
    *pScreen += read_until(fdTerminal, nullptr, 120);
    close(fdTerminal);
    if (fdWriter >= 0) {
        close(fdWriter);
    }
    return wait_program(pid);
}

// argv (settings first, if any) after the shim with the blinding known and a
// stale stack left before main, its pid written to f.pid first.
std::vector<std::string> shimmed(const std::vector<std::string> &argv, const Files &f)
{
    std::vector<std::string> all = env_argv({"LD_PRELOAD=" IO_FAULT_SHIM_PATH, "FAULT_RANDOM=5a", "FAULT_STALE_STACK=1"},
                                            argv);
    all.insert(all.begin(), {"/bin/sh", "-c", "echo $$ > \"$0\" && exec \"$@\"", f.pid});
    return all;
}

// argv under gdb, its memory written to f.core at pStop or where a signal
// stops it.
std::vector<std::string> under_gdb(const std::vector<std::string> &argv, const Files &f, const char *pStop)
{
    std::vector<std::string> gdb{"/usr/bin/gdb", "-nx", "-batch", "-ex", pStop, "-ex", "run", "-ex",
                                 "gcore " + f.core, "-ex", "kill", "--args"};
    gdb.insert(gdb.end(), argv.begin(), argv.end());
    std::filesystem::remove(f.core);
    return gdb;
}

// The needles more often in the core than in the arguments (a PIN in a URI).
void expect_absent(const SecretRun &run, const std::vector<std::string> &argv, const Needles &needles, const Files &f,
                   const char *pWhen)
{
    Bytes args;
    for (const std::string &a : argv) {
        args.insert(args.end(), a.c_str(), a.c_str() + a.size() + 1);
    }
    std::vector<size_t> allowed = occurrences(args, needles), found = occurrences(read_file(f.core), needles);
    for (size_t i = 0; i < needles.size(); i++) {
        EXPECT_LE(found[i], allowed[i]) << run.name << " holds " << needles[i].name << " " << pWhen;
    }
}

// Each path, to its exit and waiting on a FIFO or stopped: gdb's core holds
// none of its secrets there, no block it frees holds one, and the kernel
// dumps no core of it while it waits.
TEST(SecretsInCore, NoPathLeavesASecretInACoreOrAFreedBlock)
{
    if (!file_exists("/usr/bin/gdb") || SANITIZED_BUILD) {
        GTEST_SKIP() << "needs gdb and a build without sanitizers (whose runtime must come first)";
    }
    Files f;
    std::string pass = f.dir.file("pass.txt"), req = f.dir.file("req.bin"), signedImage = f.dir.file("signed.img");
    std::string imported = f.dir.file("imp.key"), made = f.dir.file("new.key"), pinFile = f.dir.file("pin.txt");
    Bytes image = read_file(f.in);
    EVP_PKEY *pSign = new_rsa_key(1024), *pComm = new_rsa_key(1017), *pImport = new_rsa_key(1024);
    write_file(f.key, key_file_of(pSign));
    write_file(f.comm, key_file_of(pComm));
    ASSERT_EQ(run_encrypt({f.in, signedImage, f.code, f.key, f.comm}).status, 0);
    ASSERT_EQ(run_encrypt({"--request", req, f.in, f.out, f.code, f.key, f.comm}).status, 0);
    // PKCS #8 plain and encrypted, and a traditional PEM with DEK-Info.
    // 48 bytes: either half of either holds one of the windows (16 bytes, every 8th) looked for.
    const std::string passphrase = "Pass-phrase Zq8v-11 Hw3m-Kd9x-Tb7Q-Lc4Ps8-Yu2Ze5";
    const std::string pin = "Pin-4u7Xk2Qz-0815-Rm6Vw2Ja-Xe9Nq3Ft-Hd5Lp8Sc-Wy2";
    Needles passphraseText{{"passphrase", Bytes(passphrase.begin(), passphrase.end())}};
    Needles pinText{{"PIN", Bytes(pin.begin(), pin.end())}};
    write_file(pass, passphraseText[0].bytes);
    write_file(pinFile, pinText[0].bytes);
    std::vector<std::string> pems;
    for (int i = 0; i < 3; i++) {
        pems.push_back(f.dir.file("k" + std::to_string(i) + ".pem"));
        BIO *pFile = BIO_new_file(pems[i].c_str(), "w");
        auto *pPass = reinterpret_cast<const unsigned char *>(i == 0 ? nullptr : passphrase.c_str());
        const EVP_CIPHER *pCipher = i == 0 ? nullptr : EVP_aes_128_cbc();
        int nPass = static_cast<int>(passphrase.size());
        ASSERT_EQ(i < 2 ? PEM_write_bio_PrivateKey(pFile, pImport, pCipher, pPass, nPass, nullptr, nullptr)
                        : PEM_write_bio_PrivateKey_traditional(pFile, pImport, pCipher, pPass, nPass, nullptr, nullptr),
                  1);
        BIO_free(pFile);
    }
    // The plain PEM's text, where it holds the primes and what follows them (base64).
    Bytes pemText = read_file(pems[0]);
    SoftHsm hsm;
    // "alone" has no public key object: its public half too needs the login.
    bool bToken = hsm.bReady && hsm.init_token("fifo", pin) && hsm.import_key(pSign, "fifo", "sign", "01", pin) &&
                  create_key(pComm, "fifo", reinterpret_cast<const unsigned char *>(pin.data()), pin.size(), "alone",
                             CK_FALSE, false);
    std::string uri = hsm.uri("token=fifo;object=sign"), waitingUri = hsm.uri("token=fifo;object=sign", "pin-source=" + f.fifo);
    std::string sourceUri = hsm.uri("token=fifo;object=sign", "pin-source=" + pinFile);
    std::string valueUri = hsm.uri("token=fifo;object=sign", "pin-value=" + pin);
    Needles sign = key_secrets("signing key", pSign), common = key_secrets("common key", pComm);
    Needles imports = key_secrets("imported key", pImport), importedBe = key_secrets("imported key", pImport, false);
    imports.push_back(
        {"imported key PEM", Bytes(pemText.begin() + static_cast<long>(pemText.size() / 2), pemText.end() - 40)});
    Needles blinds = blinding(pSign);
    const char *const ET = ENCRYPT_TOOL_PATH, *const KT = KEY_TOOL_PATH, *const VT = VERIFY_TOOL_PATH;
    const std::string QUIT = "FAULT_QUIT_IN_EXPTMOD=1";
    std::string in = f.in, out = f.out, code = f.code, key = f.key, comm = f.comm;
    const SecretRun runs[] = {
        {"encrypt_tool", {ET, in, out, code, key, comm}, sign + common + blinds, {ET, f.fifo, out, code, key, comm},
         sign + common + blinds, nullptr, "", Bytes(image.begin(), image.begin() + 32768)},
        {"encrypt_tool in its first restore", {}, {}, {QUIT, ET, in, out, code, key, comm}, common + blinds},
        {"encrypt_tool waiting for its key", {}, {}, {ET, in, out, code, f.fifo, comm}, {}},
        {"verify_tool --key", {VT, "--key", key, signedImage}, sign, {VT, "--key", f.fifo, in}, {}},
        {"key_tool show", {KT, "show", key}, sign + blinds, {QUIT, KT, "show", key}, blinds},
        {"key_tool export", {KT, "export", "--force", key, f.dir.file("pub.pem")}, sign, {}, {}},
        {"key_tool sign-request", {KT, "sign-request", "--force", req, f.dir.file("sigs.bin"), key}, sign + blinds,
         {KT, "sign-request", "--force", req, f.fifo, key}, sign + blinds},
        {"key_tool import", {KT, "import", "--force", pems[0], imported}, imports, {KT, "import", "--force", pems[0], f.fifo}, importedBe},
        {"key_tool import --passphrase-file", {KT, "import", "--force", "--passphrase-file", pass, pems[1], imported},
         imports + passphraseText, {KT, "import", "--force", "--passphrase-file", pass, pems[1], f.fifo}, importedBe + passphraseText},
        {"key_tool import waiting for its passphrase", {}, {}, {KT, "import", "--passphrase-file", f.fifo, pems[1], imported}, {}},
        {"key_tool import, passphrase typed", {KT, "import", "--force", pems[2], imported}, imports + passphraseText,
         {KT, "import", "--force", pems[2], f.fifo}, importedBe + passphraseText, "Passphrase for ", passphrase},
        {"key_tool generate", {KT, "generate", "--force", made}, {}, {}, {}, nullptr, "", {}, made},
        {"encrypt_tool, pin-source", {ET, in, out, code, sourceUri, comm}, pinText + common, {ET, in, out, code, sourceUri, f.fifo}, pinText},
        {"encrypt_tool, pin-value", {ET, in, out, code, valueUri, comm}, pinText + common, {ET, in, out, code, valueUri, f.fifo}, pinText},
        {"encrypt_tool, PIN typed", {ET, in, out, code, uri, comm}, pinText + common, {ET, in, out, code, uri, f.fifo}, pinText,
         "PIN for token ", pin},
        {"encrypt_tool waiting for its PIN", {}, {}, {ET, in, out, code, waitingUri, comm}, {}},
        {"verify_tool --key waiting for its PIN", {}, {}, {VT, "--key", hsm.uri("token=fifo;object=alone", "pin-source=" + f.fifo), in}, {}},
        {"key_tool show waiting for its PIN", {}, {}, {KT, "show", waitingUri}, {}},
    };
    Needles stale{{"the stack a library left", Bytes(32)}}; // what the shim leaves below main
    for (size_t k = 0; k < 32; k++) {
        stale[0].bytes[k] = static_cast<unsigned char>(k * 29 ^ 0xC3);
    }
    std::string pattern, screen;
    std::getline(std::ifstream("/proc/sys/kernel/core_pattern"), pattern);
    for (const SecretRun &run : runs) {
        const std::vector<std::string> &any = run.argv.empty() ? run.waiting : run.argv;
        if (!bToken && std::any_of(any.begin(), any.end(), [](const std::string &a) { return a.rfind("pkcs11:", 0) == 0; })) {
            continue; // SoftHSM2 is not installed
        }
        if (!run.argv.empty()) {
            run_on_terminal(under_gdb(shimmed(run.argv, f), f, "catch syscall exit_group"), run, f, &screen);
            if (!file_exists(f.core)) {
                GTEST_SKIP() << "gdb cannot write a core here: " << screen;
            }
            Bytes made = run.made.empty() ? Bytes() : read_file(run.made); // its status is checked below
            made.resize(1656);
            expect_absent(run, run.argv, stale + (run.made.empty() ? run.atExit : number("new d", Bytes(made.begin() + 1104, made.begin() + 1232))), f, "at its exit");
            std::vector<std::string> freeing{"FAULT_FREE_SECRET="};
            for (auto [window, i] : windows(run.atExit)) {
                Bytes piece = hex(Bytes(window.begin(), window.end()));
                freeing[0].append(piece.begin(), piece.end());
            }
            freeing.insert(freeing.end(), run.argv.begin(), run.argv.end());
            int status = run_on_terminal(shimmed(freeing, f), run, f, &screen);
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << run.name << ": " << screen;
            EXPECT_EQ(screen.find("a freed block holds the secret"), screen.npos) << run.name;
        }
        if (run.waiting.empty()) {
            continue;
        }
        ASSERT_EQ(mkfifo(f.fifo.c_str(), 0600), 0);
        if (!run.waited.empty()) {
            run_on_terminal(under_gdb(shimmed(run.waiting, f), f, "set confirm off"), run, f, &screen);
            EXPECT_TRUE(file_exists(f.core)) << run.name << ": " << screen;
            expect_absent(run, run.waiting, run.waited, f, "while it waits");
        }
        if (!pattern.empty() && pattern[0] != '|') {
            int status = run_on_terminal(shimmed(run.waiting, f), run, f, &screen);
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGQUIT) << run.name << ": " << screen;
            EXPECT_FALSE(WCOREDUMP(status)) << run.name << " dumped a core";
            for (const std::string &name : folder_names(f.dir.path)) {
                EXPECT_NE(name.rfind("core", 0), 0u) << run.name << ": " << name;
            }
        }
        std::filesystem::remove(f.fifo);
    }
    for (EVP_PKEY *pKey : {pSign, pComm, pImport}) {
        EVP_PKEY_free(pKey);
    }
}

constexpr size_t kDepth = 200 * 1024;

// Zeroes the stack below its caller, so that what is found there after a run
// is the run's.
[[gnu::noinline]] void clear_stack_below()
{
    unsigned char szStack[kDepth];
    explicit_bzero(szStack, sizeof(szStack));
    asm volatile("" : : "r"(szStack) : "memory");
}

// The stack a run used, read back in this process right after it: how many
// of the secrets (the exponent; a block's work) any of its frames holds (key
// buffers, the codec's big integers), before any wipe at exit.
[[gnu::noinline]] __attribute__((no_sanitize("address"))) size_t stack_holds_after(const std::function<void()> &run,
                                                                                  const Needles &secrets)
{
    uintptr_t nFrame = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
    Bytes below(kDepth);
    clear_stack_below();
    run();
    for (size_t i = 0; i < kDepth; i++) {
        below[i] = *reinterpret_cast<const volatile unsigned char *>(nFrame - kDepth + i);
    }
    std::vector<size_t> found = occurrences(below, secrets);
    return static_cast<size_t>(std::count_if(found.begin(), found.end(), [](size_t n) { return n > 0; }));
}

// A signing run (both keys' exponents), and a key file read as key_tool and
// verify_tool read one, into a blob on the heap.
TEST(SecretsInProcess, RunsLeaveNoExponentOnTheStack)
{
    SigningFiles f(40000, 431);
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
    // A key file whose read fails just after d.
    static Bytes file = key_file(test_key(1024)), *pFile = &file;
    static cookie_io_functions_t failing{[](void *pAt, char *pBuf, size_t nLen) -> ssize_t {
        size_t &nAt = *static_cast<size_t *>(pAt), nPart = std::min(nLen, 1232 - nAt);
        errno = EIO;
        return nAt == 1232 ? -1 : (memcpy(pBuf, pFile->data() + nAt, nPart), nAt += nPart, static_cast<ssize_t>(nPart));
    }, nullptr, nullptr, nullptr};
    auto failed = [&] {
        size_t nAt = 0;
        FILE *fp = fopencookie(&nAt, "r", failing);
        std::string why;
        unsigned char szKey[RSA_KEY_BLOB_SIZE];
        nStatus = setvbuf(fp, nullptr, _IONBF, 0) == 0 ? read_key_or_public(fp, szKey, &nFileSize, &why, nullptr) : 0;
        fclose(fp);
    };
    FILE *fpHalf = nullptr; // closed after the look: a close would reuse the stack looked at
    std::string why;
    auto half = [&] { nStatus = read_public_half(fpHalf = fopen(f.key.c_str(), "rbe"), blob.data(), &why); };
    struct {
        const char *name;
        std::function<void()> run;
        const TestKey &key;
        int nStatus;
    } runs[] = {{"signing run", sign, test_key(1024), 0}, {"a key file's public half", half, test_key(1024), 0},
                {"signing run, common key", sign, test_key(1017), 0},
                {"read_key_file", read, test_key(1024), 0},
                {"a key file's read failing after d", failed, test_key(1024), PUBLIC_KEY_READ_FAILED}};
    failed(); // binds the symbols it calls: the resolver saves vector registers on the stack
    for (const auto &run : runs) {
        nStatus = -1;
        EXPECT_EQ(stack_holds_after(run.run, number("d", bn_to_le(run.key.d, 128))), 0u) << run.name;
        EXPECT_EQ(nStatus, run.nStatus) << run.name;
    }
    fclose(fpHalf);
    // A private block alone, under an even e (not blinded): its table of
    // c^i R mod n (R = 2^1024) is wiped with the rest of its work; the last
    // product of the library's own temporaries may remain, for its caller's
    // stack wipe.
    const TestKey &key = test_key(1024);
    Bytes plain = random_bytes(127, 433);
    fp_int c, d, e, n, m;
    Bytes dLe = bn_to_le(key.d, 128), nLe = bn_to_le(key.n, 128);
    load_fp_le(&c, plain.data(), 127), load_fp_le(&d, dLe.data(), 128), load_fp_le(&n, nLe.data(), 128);
    fp_set(&e, 2);
    Needles table;
    BIGNUM *power = BN_new(), *x = bn_from_le(plain.data(), 127);
    BN_CTX *ctx = BN_CTX_new();
    for (int i = 2; i < 31; i++) {
        BN_set_word(power, static_cast<BN_ULONG>(i));
        BN_mod_exp(power, x, power, key.n, ctx);
        BN_lshift(power, power, 1024);
        BN_mod(power, power, key.n, ctx);
        table.push_back({"c^" + std::to_string(i) + " R", bn_to_le(power, 128)});
    }
    BN_free(power), BN_free(x), BN_CTX_free(ctx);
    EXPECT_LE(stack_holds_after([&] { nStatus = rsa_private_exptmod(&c, &d, &e, &n, &m); }, table), 1u);
    EXPECT_EQ(nStatus, FP_OKAY);
    EXPECT_EQ(Bytes(blob.begin() + 256, blob.end()), bn_to_le(test_key(1024).d, 128));
}

#if defined(__x86_64__)
#define SAVE_ZMM(i) "vmovdqu64 %%zmm" #i ", " #i "*64(%0)\n\t"
// zmm0-31 as they are, where the C library's copies leave the last 64 bytes
// they moved in each register they used.
[[gnu::noinline, gnu::target("avx512f")]] Bytes vector_registers()
{
    Bytes all(32 * 64);
    asm volatile(SAVE_ZMM(0) SAVE_ZMM(1) SAVE_ZMM(2) SAVE_ZMM(3) SAVE_ZMM(4) SAVE_ZMM(5) SAVE_ZMM(6) SAVE_ZMM(7)
                 SAVE_ZMM(8) SAVE_ZMM(9) SAVE_ZMM(10) SAVE_ZMM(11) SAVE_ZMM(12) SAVE_ZMM(13) SAVE_ZMM(14)
                 SAVE_ZMM(15) SAVE_ZMM(16) SAVE_ZMM(17) SAVE_ZMM(18) SAVE_ZMM(19) SAVE_ZMM(20) SAVE_ZMM(21)
                 SAVE_ZMM(22) SAVE_ZMM(23) SAVE_ZMM(24) SAVE_ZMM(25) SAVE_ZMM(26) SAVE_ZMM(27) SAVE_ZMM(28)
                 SAVE_ZMM(29) SAVE_ZMM(30) SAVE_ZMM(31)
                 :
                 : "r"(all.data())
                 : "memory");
    return all;
}

// zmm0-31 loaded with the 2 KiB at p.
[[gnu::noinline, gnu::target("avx512f")]] void fill_vector_registers(const unsigned char *p)
{
#define LOAD_ZMM(i) "vmovdqu64 " #i "*64(%0), %%zmm" #i "\n\t"
    asm volatile(LOAD_ZMM(0) LOAD_ZMM(1) LOAD_ZMM(2) LOAD_ZMM(3) LOAD_ZMM(4) LOAD_ZMM(5) LOAD_ZMM(6) LOAD_ZMM(7)
                 LOAD_ZMM(8) LOAD_ZMM(9) LOAD_ZMM(10) LOAD_ZMM(11) LOAD_ZMM(12) LOAD_ZMM(13) LOAD_ZMM(14)
                 LOAD_ZMM(15) LOAD_ZMM(16) LOAD_ZMM(17) LOAD_ZMM(18) LOAD_ZMM(19) LOAD_ZMM(20) LOAD_ZMM(21)
                 LOAD_ZMM(22) LOAD_ZMM(23) LOAD_ZMM(24) LOAD_ZMM(25) LOAD_ZMM(26) LOAD_ZMM(27) LOAD_ZMM(28)
                 LOAD_ZMM(29) LOAD_ZMM(30) LOAD_ZMM(31)
                 :
                 : "r"(p)
                 : "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7", "xmm8", "xmm9", "xmm10", "xmm11",
                   "xmm12", "xmm13", "xmm14", "xmm15", "xmm16", "xmm17", "xmm18", "xmm19", "xmm20", "xmm21", "xmm22",
                   "xmm23", "xmm24", "xmm25", "xmm26", "xmm27", "xmm28", "xmm29", "xmm30", "xmm31");
}

// Each reader of a secret, and the open of an output (where a tool may wait
// on a FIFO while a core is taken), leaves no secret in a vector register:
// neither what it read nor what a copy just before it left there.
TEST(SecretsInRegisters, ReadersAndOutputsClearTheVectorRegisters)
{
    if (!__builtin_cpu_supports("avx512f")) {
        GTEST_SKIP() << "only AVX-512 has registers that nothing but the C library's copies touches";
    }
    ToolFiles f;
    EVP_PKEY *pKey = new_rsa_key(1024);
    std::string pem = f.dir.file("k.pem");
    BIO *pFile = BIO_new_file(pem.c_str(), "w");
    ASSERT_EQ(PEM_write_bio_PrivateKey(pFile, pKey, EVP_aes_128_cbc(), nullptr, 0, nullptr, const_cast<char *>("pass")), 1);
    BIO_free(pFile);
    Bytes keyFile = key_file_of(pKey), copied(1024), secret = random_bytes(1024, 451), twice = secret;
    twice.insert(twice.end(), secret.begin(), secret.end());
    Needles fromKey = key_secrets("key", pKey, false) + number("d", Bytes(keyFile.begin() + 1104, keyFile.end() - 424));
    OutputFile out;
    TokenPin pin;
    unsigned char szKey[RSA_KEY_BLOB_SIZE];
    size_t nSize = 0;
    int nStatus = 0;
    std::string why;
    const struct {
        const char *name;
        std::function<void()> run;
        Needles read;
    } rows[] = {
        {"every register full", [&] { fill_vector_registers(twice.data()), secrets_clear_registers(); }, {}},
        {"every register full, at exit", [&] { fill_vector_registers(twice.data()), secrets_wipe_at_exit(); }, {}},
        {"output_open", [&] { nStatus = output_open(&out, f.out.c_str(), OUTPUT_SECRET); }, {}},
        {"pin_forget", [&] { memcpy(pin.sz, secret.data(), 64), pin_forget(&pin); }, {}},
        {"read_key_stream", [&] {
             FILE *fp = fmemopen(keyFile.data(), keyFile.size(), "rb");
             nStatus = read_key_stream(fp, szKey, &nSize);
             fclose(fp);
         }, fromKey},
        {"read_key_or_public", [&] {
             FILE *fp = fmemopen(keyFile.data(), keyFile.size(), "rb");
             nStatus = read_key_or_public(fp, szKey, &nSize, &why, nullptr);
             fclose(fp);
         }, fromKey},
        {"read_rsa_private_pem", [&] {
             pem_password_cb *pPass = [](char *pBuf, int, int, void *) { return memcpy(pBuf, "pass", 4), 4; };
             EVP_PKEY *pRead = read_rsa_private_pem(pem.c_str(), pPass, nullptr, &nStatus);
             nStatus = pRead == nullptr;
             EVP_PKEY_free(pRead);
         }, fromKey},
    };
    Needles copy{{"what a copy left", secret}};
    memcpy(copied.data(), secret.data(), secret.size());
    if (occurrences(vector_registers(), copy)[0] == 0) {
        GTEST_SKIP() << "this C library's copies leave nothing in the vector registers";
    }
    for (const auto &row : rows) {
        memcpy(copied.data(), secret.data(), secret.size());
        asm volatile("" : : "r"(copied.data()) : "memory");
        row.run();
        Bytes registers = vector_registers();
        EXPECT_EQ(nStatus, 0) << row.name;
        for (const Needle &needle : copy + row.read) {
            EXPECT_EQ(occurrences(registers, {needle})[0], 0u) << row.name << " leaves " << needle.name;
        }
    }
    output_abort(&out);
    EVP_PKEY_free(pKey);
}
#endif

// The wipes need no more stack than the exponentiation: a signing run fits a
// stack limit of 160 KiB, which the exponentiation needs anyway.
TEST(SecretsStack, SigningFitsA160KiBStack)
{
    if (SANITIZED_BUILD) {
        GTEST_SKIP() << "the sanitizers' frames are larger";
    }
    SigningFiles f(40000, 441);
    std::vector<std::string> argv{"/bin/sh", "-c", "ulimit -s 160 && exec \"$0\" \"$@\"", ENCRYPT_TOOL_PATH,
                                  f.in, f.out, f.code, f.key, f.comm};
    EXPECT_EQ(run_program(argv).status, 0);
    argv = {"/bin/sh", "-c", "ulimit -s 160 && exec \"$0\" \"$@\"", VERIFY_TOOL_PATH, "--key", f.key, f.out};
    EXPECT_EQ(run_program(argv).status, 0);
}

} // namespace
