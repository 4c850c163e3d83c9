// SPDX-License-Identifier: Apache-2.0
// The three tools with keys in a PKCS#11 token (SoftHSM2): the same bytes as
// with the key file of the same key, the errors where the token, the PIN or
// the key cannot be reached, the companions' commands, no PIN printed however
// the URI is spelled, each token's own PIN and Ctrl-C at the prompt, and runs
// that meet at the token.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <strings.h>
#include <sys/stat.h>
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "image_format.h"
#include "test_support.h"
#include "token_support.h"

namespace {

// Not hexadecimal, so that no fingerprint or modulus printed can hold it by chance.
const std::string kPin = "7g3q95";

// A token "sig" holding a 1024-bit signing key, a 1017-bit common key and a
// 2048-bit key, with the key files of the same two keys.
struct TokenFiles : SigningFiles {
    SoftHsm hsm;
    Key sign{new_rsa_key(1024), EVP_PKEY_free};
    Key common{new_rsa_key(1017), EVP_PKEY_free};
    Key big{new_rsa_key(2048), EVP_PKEY_free};
    bool bReady = false;

    TokenFiles() : SigningFiles(60000, 501)
    {
        write_file(key, key_file_of(sign.get()));
        write_file(comm, key_file_of(common.get()));
        bReady = hsm.bReady && hsm.init_token("sig", kPin) && hsm.import_key(sign.get(), "sig", "sign", "01", kPin) &&
                 hsm.import_key(common.get(), "sig", "comm", "02", kPin) &&
                 hsm.import_key(big.get(), "sig", "big", "03", kPin);
    }
    // The URI of object label in token "sig", with extra query attributes.
    std::string uri(const std::string &object, const std::string &query = "pin-value=" + kPin) const
    {
        return hsm.uri("token=sig;object=" + object, query);
    }
};

// How many times part is found in text.
size_t count_of(const std::string &text, const std::string &part)
{
    size_t nCount = 0;
    for (size_t nAt = text.find(part); nAt != std::string::npos; nAt = text.find(part, nAt + 1)) {
        nCount++;
    }
    return nCount;
}

// Every byte of what a run printed, checked for the PIN.
void expect_no_pin(const RunResult &r)
{
    EXPECT_EQ(r.out.find(kPin), std::string::npos) << r.out;
    EXPECT_EQ(r.err.find(kPin), std::string::npos) << r.err;
}

// Every message path of the three tools that echoes an argument, with "@"
// for the URI: usage errors, unknown options, too many names, each file
// option's and each file argument's open or read error, JSON errors; last,
// the JSON report of an image in a file named as the URI.
std::vector<std::vector<std::string>> message_paths(const TokenFiles &f, const std::string &zeros,
                                                    const std::string &request)
{
    const std::string E = ENCRYPT_TOOL_PATH, K = KEY_TOOL_PATH, V = VERIFY_TOOL_PATH;
    std::string o = f.dir.file("paths.img"), m = f.dir.file("made.out");
    return {{E, "--x=@", f.in, o, f.code, f.key, f.comm}, {E, "--signatures", "@", f.in, o, f.code, f.key, f.comm},
            {E, "--request", "@", f.in, o, f.code, f.key, f.comm}, {E, "--signing-helper", "@", f.in, o, f.code, f.key, f.comm},
            {E, "--signing-helper", zeros, f.in, o, f.code, "@", f.comm}, {E, "@", o, f.code, f.key, f.comm},
            {E, f.in, "@", f.code, f.key, f.comm}, {E, f.in, o, "@", f.key, f.comm}, {E, f.in, o, f.code, f.key, "@"},
            {K, "--x=@"}, {K, "show", "a", "b", "c", "@"}, {K, "@"}, {K, "show", "@"}, {K, "list", "@"},
            {K, "generate", "@"}, {K, "export", "@", m}, {K, "export", f.key, "@"}, {K, "import", "@", m},
            {K, "import", "--passphrase-file", "@", f.in, m}, {K, "sign-request", "@", m, f.key},
            {K, "sign-request", request, m, "@"}, {V, "--json", "--x=@", f.out}, {V, "--json", "@"},
            {V, "--json", "--key", "@", f.out}, {V, "--json", "--original", "@", f.out},
            {V, "--json", "--restore", "@", f.out}, {V, "--json", "@"}};
}

// Each test's token and files, and the image signed with the key file.
class TokenTools : public ::testing::Test {
protected:
    TokenFiles f;
    Bytes expected;
    void SetUp() override
    {
        if (!f.bReady) {
            GTEST_SKIP() << "SoftHSM2 is not installed";
        }
        ASSERT_EQ(f.run().status, 0);
        expected = read_file(f.out);
    }
};

// Every spelling of a URI and every PIN source: the run signs (with the key
// file's bytes) or fails as it should, each query attribute we do not know is
// named once in a warning, and no tool prints the PIN, wherever it was put,
// on any message path: what a tool prints of the URI is what p11-kit reads of
// it, minus the PIN and the query.
TEST_F(TokenTools, SigningWithATokenKeyGivesTheKeyFilesBytes)
{
    std::string pinFile = f.dir.file("pin.txt");
    std::string crlfFile = f.dir.file("pin-crlf.txt");
    for (const auto &[path, line] : {std::pair{pinFile, kPin + "\n"}, std::pair{crlfFile, kPin + "\r\n"}}) {
        write_file(path, Bytes(line.begin(), line.end()));
    }
    // The PIN file is read to its end, and a failed close named, though every call that goes on leaves errno
    // stale (EINTR).
    for (std::string fault : {"IO_FAULT=", "IO_FAULT=close:/pin.txt"}) {
        std::string staleOut = f.dir.file("stale.img");
        std::filesystem::remove(staleOut);
        RunResult stale = run_program({"/usr/bin/env", std::string("LD_PRELOAD=") + IO_FAULT_SHIM_PATH, fault,
                                       "IO_FAULT_STALE_ERRNO=" + std::to_string(EINTR), ENCRYPT_TOOL_PATH, f.in, staleOut,
                                       f.code, f.uri("sign", "pin-source=" + pinFile), f.comm}, 30);
        bool bClose = fault.size() > 9;
        EXPECT_TRUE(SANITIZED_BUILD || (stale.status == (bClose ? 1 : 0) && file_exists(staleOut) == !bClose &&
                                        (stale.err.find("file: close failed") != std::string::npos) == bClose))
            << stale.out << stale.err;
    }
    std::string key = "pkcs11:token=sig;object=sign";
    std::string module = std::string("?module-path=") + SOFTHSM_MODULE;
    std::string longName = "x-\x1b\x7f" + std::string(70, 'n');
    std::string pin = "pin-value=" + kPin;
    struct {
        const char *why;
        std::string sign;
        std::string comm;
        bool bSigns;
        std::vector<std::string> ignored; // as the warnings name them
        std::string shown = "pkcs11:token=sig;object=sign"; // of the URI
    } cases[] = {
        {"signing key", f.uri("sign"), f.comm, true, {}},
        {"common key", f.key, f.uri("comm"), true, {}, "pkcs11:token=sig;object=comm"},
        {"both, PIN from a file", f.uri("sign", "pin-source=" + pinFile), f.uri("comm", "pin-source=file://" + pinFile),
         true, {}},
        {"PIN file ending in CR LF, as file://localhost/...", f.uri("sign", "pin-source=file://localhost" + crlfFile),
         f.comm, true, {}},
        {"unknown attributes, one holding the PIN", f.uri("sign", "pin-value=" + kPin + "&x-vendor=" + kPin + "&" + longName + "=1"),
         f.comm, true, {"x-vendor", "x-\\x1b\\x7f" + std::string(60, 'n') + "..."}},
        {"PIN-VALUE and pin%2dvalue are not pin-value", key + module + "&PIN-VALUE=" + kPin + "&pin%2dvalue=" + kPin,
         f.comm, false, {"PIN-VALUE", "pin%2dvalue"}},
        {"known names with more after them", key + module + "&pin-values=" + kPin + "&module-path2=x", f.comm, false,
         {"pin-values", "module-path2"}},
        {"a PIN after ';' in the query", key + module + ";pin-value=" + kPin, f.comm, false, {}},
        {"a PIN in the path", key + ";Pin%2DValue=" + kPin + module, f.comm, false, {}},
        // p11-kit skips blanks around a name in the path, not a tab.
        {"a blank before pin-value in the path", key + "; " + pin + module, f.comm, true, {}},
        {"a blank after its name", key + ";pin-value =" + kPin + module, f.comm, true, {}},
        {"a tab before it", key + ";\t" + pin + module, f.comm, false, {}},
        {"PIN-VALUE in the path", key + ";PIN-VALUE=" + kPin + module, f.comm, false, {}},
        {"PKCS11: is a URI too", "PKCS11:token=sig;object=sign" + module + "&" + pin, f.comm, true, {}},
        {"a query begun by '&'", key + "?&" + pin + "&" + module.substr(1), f.comm, true, {}},
        {"a blank before pin-value in the query", key + module + "& " + pin, f.comm, false, {" pin-value"}},
        {"'&' for '?': refused", key + "&" + pin + module, f.comm, false, {}, "pkcs11:"},
    };
    std::string zeros = f.dir.file("zeros.sh");
    std::string zerosText = "#!/bin/sh\ncat > /dev/null; head -c 128 /dev/zero\n";
    write_file(zeros, Bytes(zerosText.begin(), zerosText.end()));
    chmod(zeros.c_str(), 0755);
    std::string request = f.dir.file("request.bin");
    ASSERT_EQ(run_encrypt({"--request", request, f.in, f.dir.file("unused.img"), f.code, f.key, f.comm}).status, 0);
    std::vector<std::vector<std::string>> paths = message_paths(f, zeros, request);
    for (const auto &c : cases) {
        std::string out = f.dir.file("token.img");
        write_file(out, Bytes{9});
        std::vector<RunResult> runs{run_encrypt({f.in, out, f.code, c.sign, c.comm})};
        EXPECT_EQ(runs[0].status, c.bSigns ? 0 : 1) << c.why << ": " << runs[0].out << runs[0].err;
        EXPECT_TRUE(read_file(out) == (c.bSigns ? expected : Bytes{9})) << c.why;
        if (strncasecmp(c.sign.c_str(), "pkcs11:", 7) == 0) {
            runs.push_back(run_key_tool({"show", c.sign}));
            runs.push_back(run_verify_tool({"--json", "--key", c.sign, f.out}));
            // A misspelt PIN (the only case with ignored attributes that does not sign) leaves the URI
            // usable: the public half is read without the login, and show says the key cannot sign here.
            bool bReached = c.bSigns || !c.ignored.empty();
            EXPECT_EQ(runs[1].status, c.bSigns ? 0 : bReached ? 1 : 2) << c.why << ": " << runs[1].err;
            EXPECT_EQ(runs[2].status, bReached ? 0 : 2) << c.why << ": " << runs[2].err;
        }
        for (size_t i = 0; i < runs.size(); i++) {
            const RunResult &r = runs[i];
            const std::string kTools[] = {"encrypt_tool", "key_tool", "verify_tool"};
            expect_no_pin(r);
            EXPECT_EQ(count_of(r.err, "warning"), c.ignored.size()) << c.why << ": " << r.err;
            for (const std::string &name : c.ignored) {
                std::string line = "\n" + kTools[i] + ": warning: pkcs11: URI query attribute ignored: " + name + "\n";
                EXPECT_NE(("\n" + r.err).find(line), std::string::npos) << c.why << ": " << r.err;
            }
        }
        // Every message path with the URI, from a folder of its own emptied
        // after each run, without a terminal: nothing of the PIN or the query
        // in any output.
        std::string uri = c.sign == f.key ? c.comm : c.sign;
        std::string cwd = f.dir.file("cwd");
        for (const std::vector<std::string> &path : paths) {
            bool bNamed = &path == &paths.back();
            std::filesystem::create_directories(std::filesystem::path(bNamed ? cwd + "/" + uri : cwd + "/x").parent_path());
            if (bNamed) {
                write_file(cwd + "/" + uri, read_file(f.out));
            }
            std::vector<std::string> argv{"/usr/bin/setsid", "/usr/bin/env", "-C", cwd};
            for (std::string arg : path) {
                argv.push_back(arg.find('@') == std::string::npos ? arg : arg.replace(arg.find('@'), 1, uri));
            }
            RunResult r = run_program(argv);
            std::filesystem::remove_all(cwd);
            for (const char *pSecret : {kPin.c_str(), "pin-source=", "module-path="}) {
                EXPECT_EQ((r.out + r.err).find(pSecret), std::string::npos) << c.why << ": " << argv[4] << r.out << r.err;
            }
            EXPECT_EQ(r.out.find("\"image\":\"" + c.shown + "\"") != std::string::npos, bNamed) << c.why << r.out;
            EXPECT_TRUE(path[1] != "--request" || r.out == "File write error: " + c.shown + "\n") << c.why << r.out;
        }
        RunResult opened = run_encrypt({uri, f.dir.file("x.img"), f.code, f.key, f.comm});
        EXPECT_EQ(opened.out, "File open error: " + c.shown + "\n") << c.why;
    }

    // The module from the environment, as signing setups pass it.
    std::vector<std::string> argv{"/usr/bin/env", std::string("PKCS11_MODULE_PATH=") + SOFTHSM_MODULE,
                                  ENCRYPT_TOOL_PATH, f.in, f.dir.file("env.img"), f.code, key + "?" + pin, f.comm};
    EXPECT_EQ(run_program(argv).status, 0);
    EXPECT_TRUE(read_file(f.dir.file("env.img")) == expected);

    // verify_tool --key and key_tool with the URI agree with the key file.
    RunResult r = run_verify_tool({"--key", f.uri("sign"), "--original", f.in, f.out});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(run_verify_tool({"--key", f.uri("comm"), f.out}).status, 1);
    Bytes otherE = read_file(f.out); // the token key's modulus, but another exponent
    write_file(f.dir.file("e.img"), (otherE[SI_CODE_WINDOW + SI_CODE_SIGN_E + 4] ^= 1, otherE));
    for (const std::string &key : {f.uri("sign"), f.key}) {
        EXPECT_EQ(count_of(run_verify_tool({"--key", key, f.dir.file("e.img")}).out, "Key check: failed"), 1u) << key;
    }
    RunResult shownFile = run_key_tool({"show", f.key});
    RunResult shownToken = run_key_tool({"show", f.uri("sign")});
    EXPECT_EQ(shownToken.status, 0) << shownToken.out << shownToken.err;
    std::string line = "Fingerprint (SHA-256 of modulus and exponent, little-endian): ";
    EXPECT_EQ(shownFile.out.substr(shownFile.out.find(line), line.size() + 64),
              shownToken.out.substr(shownToken.out.find(line), line.size() + 64));
    ASSERT_EQ(run_key_tool({"export", f.uri("sign"), f.dir.file("token.pem")}).status, 0);
    ASSERT_EQ(run_key_tool({"export", f.key, f.dir.file("file.pem")}).status, 0);
    EXPECT_EQ(read_file(f.dir.file("token.pem")), read_file(f.dir.file("file.pem")));
    expect_no_pin(r);
    expect_no_pin(shownToken);
}

// The public half alone is read without a login where the token shows it:
// with no PIN anywhere, verify_tool --key, key_tool export and a common key in
// the token work, while signing still needs one. A bare pkcs11: is printed
// once before the reason. Where the token, the PIN or the key cannot be
// reached: the argument's open error, a line on standard error saying why,
// status 1, no image written.
TEST_F(TokenTools, PublicHalfWithoutALoginAndUnreachableKeys)
{
    for (const auto &[argv, nStatus] :
         {std::pair{std::vector<std::string>{VERIFY_TOOL_PATH, "--key", f.uri("sign", ""), f.out}, 0},
          {{KEY_TOOL_PATH, "export", f.uri("sign", ""), f.dir.file("pub.pem")}, 0},
          {{ENCRYPT_TOOL_PATH, f.in, f.dir.file("1.img"), f.code, f.key, f.uri("comm", "")}, 0},
          {{ENCRYPT_TOOL_PATH, f.in, f.dir.file("2.img"), f.code, f.uri("sign", ""), f.comm}, 1}}) {
        EXPECT_EQ(run_program(argv).status, nStatus) << argv[1];
    }
    RunResult bare = run_key_tool({"show", "pkcs11:?module-path=" + std::string(SOFTHSM_MODULE)});
    EXPECT_EQ(bare.err.rfind("key_tool: File open error: pkcs11: ", 0), 0u) << bare.err;

    Key twin(new_rsa_key(1024), EVP_PKEY_free);
    ASSERT_TRUE(f.hsm.import_key(twin.get(), "sig", "twin", "04", kPin) &&
                f.hsm.import_key(twin.get(), "sig", "twin", "05", kPin));
    // A key made for exponent 65539 that shows 65537: the token's signatures
    // do not restore with the public half it shows.
    Key odd(new_rsa_key(1024, 65539), EVP_PKEY_free);
    ASSERT_TRUE(create_key(odd.get(), "sig", reinterpret_cast<const unsigned char *>(kPin.data()), kPin.size(), "odd",
                           CK_FALSE, false, 65537));
    struct {
        const char *why;
        int nArg;
        std::string uri;
        const char *message; // before the URI
        const char *reason;  // in the line on standard error
    } cases[] = {
        {"no PIN and no terminal", 3, f.uri("sign", ""), "File open error: ", "no PIN"},
        {"wrong PIN", 3, f.uri("sign", "pin-value=0000"), "File open error: ", "wrong PIN"},
        {"no such key", 3, f.uri("nothing"), "File open error: ", "no RSA private key matches"},
        {"two keys, one label", 3, f.uri("twin"), "File open error: ", "several RSA private keys match"},
        {"no such token", 4, f.hsm.uri("token=none", "pin-value=1"), "File open error ", "no token matches"},
        {"bad module", 3, "pkcs11:token=sig?module-path=/nonexistent.so", "File open error: ",
         "module not loaded: the module-path of the URI: cannot open shared object file"},
        {"2048-bit key", 3, f.uri("big"), "Key file error: ", "1017 to 1024"},
        {"signature and public half disagree", 3, f.uri("odd"), "Key file error: ",
         "encrypt_tool: the token's signature of block 0 does not restore with its public key\n"},
    };
    for (const auto &c : cases) {
        write_file(f.out, Bytes{9, 9, 9});
        std::vector<std::string> argv{"/usr/bin/setsid", ENCRYPT_TOOL_PATH, f.in, f.out, f.code, f.key, f.comm};
        argv[static_cast<size_t>(c.nArg) + 2] = c.uri;
        RunResult r = run_program(argv);
        EXPECT_EQ(r.status, 1) << c.why;
        EXPECT_EQ(r.out, c.message + c.uri.substr(0, c.uri.find('?')) + "\n") << c.why;
        EXPECT_NE(r.err.find(c.reason), std::string::npos) << c.why << ": " << r.err;
        EXPECT_EQ(read_file(f.out), (Bytes{9, 9, 9})) << c.why;
        expect_no_pin(r);
    }
}

// Ctrl-C at the PIN prompt: the terminal gets its echo back, the run ends by
// SIGINT (as a shell script needs to stop), and leaves no image nor temporary file.
// Ctrl-Z ends the entry as well, the terminal put back before the stop; here,
// where the stop is discarded (an orphaned group), the run then ends refused.
TEST_F(TokenTools, CtrlCOrCtrlZAtThePinPromptPutsTheTerminalBack)
{
    std::vector<std::string> before = folder_names(f.dir.path);
    for (char key : {'\x03', '\x1a'}) {
        int nMaster = -1;
        pid_t pid = forkpty(&nMaster, nullptr, nullptr, nullptr);
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            exec_program({ENCRYPT_TOOL_PATH, f.in, f.out, f.code, f.uri("sign", ""), f.comm});
        }
        std::string screen = read_until(nMaster, "PIN for token sig: ", 60);
        EXPECT_EQ(write(nMaster, &key, 1), 1);
        screen += read_until(nMaster, nullptr, 20);
        kill(pid, SIGKILL); // where the entry went on
        int nStatus = 0;
        EXPECT_EQ(waitpid(pid, &nStatus, 0), pid);
        termios after{};
        EXPECT_EQ(tcgetattr(nMaster, &after), 0);
        EXPECT_NE(after.c_lflag & ECHO, 0u) << "the terminal is left without echo";
        EXPECT_EQ(close(nMaster), 0);
        bool bEnded = key == '\x03' ? WIFSIGNALED(nStatus) && WTERMSIG(nStatus) == SIGINT
                                    : WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 1;
        EXPECT_TRUE(bEnded) << "wait status " << nStatus << ": " << screen;
        EXPECT_EQ(folder_names(f.dir.path), before);
    }
}

// key_tool list over two tokens asks each for its own PIN on the terminal: one
// token's PIN is not kept for the next.
TEST_F(TokenTools, ListAsksEachTokenForItsOwnPin)
{
    const std::string otherPin = "5t6y7u8i";
    ASSERT_TRUE(f.hsm.init_token("two", otherPin));
    int nMaster = -1;
    pid_t pid = forkpty(&nMaster, nullptr, nullptr, nullptr);
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        exec_program({KEY_TOOL_PATH, "list", f.hsm.uri("")});
    }
    std::string screen;
    for (int nPrompt = 0; nPrompt < 2; nPrompt++) {
        std::string shown = read_until(nMaster, ": ", 60);
        std::string line = (shown.find("token two: ") != std::string::npos ? otherPin : kPin) + "\n";
        EXPECT_EQ(write(nMaster, line.data(), line.size()), static_cast<ssize_t>(line.size()));
        screen += shown;
    }
    screen += read_until(nMaster, nullptr, 60);
    EXPECT_EQ(close(nMaster), 0);
    int nStatus = -1;
    EXPECT_EQ(waitpid(pid, &nStatus, 0), pid);
    EXPECT_EQ(nStatus, 0) << screen;
    for (const char *pPrompt : {"PIN for token sig: ", "PIN for token two: "}) {
        EXPECT_EQ(count_of(screen, pPrompt), 1u) << screen;
    }
}

// key_tool generate in the token (refused for a label in use), and a key made
// there that signs an image verify_tool accepts. Runs that meet at one token,
// as on a build farm: 16 signing runs all sign with the key file's bytes while
// each rewrites the token's store at login; 6 runs that make a key with one
// label leave exactly one key, and only its maker reports success, as key_tool
// list shows.
TEST_F(TokenTools, GenerateListAndConcurrentRunsOnOneToken)
{
    std::string made = f.uri("made");
    RunResult r = run_key_tool({"generate", "--bits", "1020", made});
    EXPECT_EQ(r.status, 0) << r.err;
    r = run_key_tool({"generate", made});
    EXPECT_EQ(r.status, 2) << "a label in use is refused";
    expect_no_pin(r);
    EXPECT_NE(run_key_tool({"show", made}).out.find("Modulus: 1020 bits"), std::string::npos);
    ASSERT_EQ(run_encrypt({f.in, f.out, f.code, made, f.comm}).status, 0);
    EXPECT_EQ(run_verify_tool({"--key", made, "--original", f.in, f.out}).status, 0);

    std::vector<int> signers;
    for (int i = 0; i < 16; i++) {
        signers.push_back(spawn_program(
            {ENCRYPT_TOOL_PATH, f.in, f.dir.file("run" + std::to_string(i) + ".img"), f.code, f.uri("sign"), f.comm}));
    }
    for (size_t i = 0; i < signers.size(); i++) {
        int nStatus = wait_program(signers[i]);
        EXPECT_TRUE(WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 0) << "run " << i << ": wait status " << nStatus;
        EXPECT_TRUE(read_file(f.dir.file("run" + std::to_string(i) + ".img")) == expected) << "run " << i;
    }

    std::vector<int> makers;
    for (int i = 0; i < 6; i++) {
        makers.push_back(spawn_program({KEY_TOOL_PATH, "generate", f.uri("raced")}));
    }
    int nMade = 0;
    for (int pid : makers) {
        int nStatus = wait_program(pid);
        nMade += WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 0 ? 1 : 0;
    }
    RunResult listed = run_key_tool({"list", f.hsm.uri("token=sig", "pin-value=" + kPin)});
    ASSERT_EQ(listed.status, 0) << listed.err;
    expect_no_pin(listed);
    // The serial number names the token too.
    for (const char *pPart : {"object=sign", "serial=", "\t1024 bits", "\t2048 bits"}) {
        EXPECT_NE(listed.out.find(pPart), std::string::npos) << pPart << " in " << listed.out;
    }
    EXPECT_EQ(listed.out.find("module-path"), std::string::npos);
    EXPECT_EQ(count_of(listed.out, "object=raced;"), 1u) << listed.out;
    EXPECT_EQ(nMade, 1);
}

} // namespace
