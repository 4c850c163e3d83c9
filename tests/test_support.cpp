// SPDX-License-Identifier: Apache-2.0
#include "test_support.h"
#include "token_support.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <openssl/core_names.h>
#include <openssl/evp.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <cerrno>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Owns the cached keys' numbers until the end of the test binary.
struct KeyCache {
    std::map<int, TestKey> keys;
    ~KeyCache()
    {
        for (auto &[bits, key] : keys) {
            BN_free(const_cast<BIGNUM *>(key.n));
            BN_free(const_cast<BIGNUM *>(key.e));
            BN_clear_free(const_cast<BIGNUM *>(key.d));
            EVP_PKEY_free(key.pkey);
        }
    }
};

// a followed by b.
std::vector<std::string> joined(std::vector<std::string> a, const std::vector<std::string> &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

} // namespace

const TestKey &test_key(int bits)
{
    static KeyCache cache;
    std::map<int, TestKey> &keys = cache.keys;
    auto found = keys.find(bits);
    if (found != keys.end()) {
        return found->second;
    }
    EVP_PKEY *pkey = new_rsa_key(bits); // e = 65537
    TestKey key{rsa_number(pkey, OSSL_PKEY_PARAM_RSA_N), rsa_number(pkey, OSSL_PKEY_PARAM_RSA_E),
                rsa_number(pkey, OSSL_PKEY_PARAM_RSA_D), bits, pkey};
    if (BN_num_bits(key.n) != bits) {
        abort();
    }
    return keys[bits] = key;
}

Bytes bn_to_le(const BIGNUM *bn, int nLen)
{
    Bytes full(static_cast<size_t>(BN_num_bytes(bn)) + 1);
    BN_bn2lebinpad(bn, full.data(), static_cast<int>(full.size()));
    full.resize(static_cast<size_t>(nLen), 0);
    return full;
}

BIGNUM *bn_from_le(const unsigned char *p, int nLen)
{
    return BN_lebin2bn(p, nLen, nullptr);
}

Bytes model_modexp(const Bytes &base, const BIGNUM *exp, const BIGNUM *n, int nOutLen)
{
    BN_CTX *ctx = BN_CTX_new();
    BIGNUM *b = bn_from_le(base.data(), static_cast<int>(base.size()));
    BIGNUM *r = BN_new();
    BN_mod_exp(r, b, exp, n, ctx);
    Bytes out = bn_to_le(r, nOutLen);
    BN_free(b);
    BN_free(r);
    BN_CTX_free(ctx);
    return out;
}

Bytes key_blob(const TestKey &key)
{
    Bytes blob;
    for (const BIGNUM *bn : {key.n, key.e, key.d}) {
        Bytes field = bn_to_le(bn, 128);
        blob.insert(blob.end(), field.begin(), field.end());
    }
    return blob;
}

Bytes key_file(const BIGNUM *n, const BIGNUM *e, const BIGNUM *d, bool bJunk)
{
    Bytes file;
    for (const BIGNUM *bn : {n, e, d}) {
        Bytes record = bn_to_le(bn, 544);
        int nUsed = (BN_num_bits(bn) + 31) / 32;
        for (int i = 0; i < 4; i++) {
            record.push_back(static_cast<unsigned char>(nUsed >> (8 * i)));
        }
        record.insert(record.end(), 4, 0);
        if (bJunk) {
            for (size_t i = 128; i < record.size(); i++) {
                record[i] = static_cast<unsigned char>(0xA5 ^ i);
            }
        }
        file.insert(file.end(), record.begin(), record.end());
    }
    return file;
}

Bytes key_file(const TestKey &key, bool bJunk)
{
    return key_file(key.n, key.e, key.d, bJunk);
}

Bytes random_bytes(size_t nLen, unsigned nSeed)
{
    std::mt19937 gen(nSeed);
    Bytes out(nLen);
    for (auto &b : out) {
        b = static_cast<unsigned char>(gen());
    }
    return out;
}

Bytes read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_file(const std::string &path, const Bytes &data)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(data.data()), static_cast<std::streamsize>(data.size()));
}

bool file_exists(const std::string &path)
{
    return std::filesystem::exists(std::filesystem::symlink_status(path));
}

std::vector<std::string> folder_names(const std::string &path)
{
    std::vector<std::string> names;
    for (const auto &entry : std::filesystem::directory_iterator(path)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

TempDir::TempDir()
{
    std::string templ = (std::filesystem::temp_directory_path() / "sigtest.XXXXXX").string();
    if (mkdtemp(templ.data()) == nullptr) {
        abort();
    }
    path = templ;
}

TempDir::~TempDir()
{
    std::error_code ec;
    std::filesystem::permissions(path, std::filesystem::perms::owner_all, ec);
    std::filesystem::remove_all(path, ec);
}

[[noreturn]] void exec_program(const std::vector<std::string> &argv)
{
    std::vector<char *> args;
    for (const auto &a : argv) {
        args.push_back(const_cast<char *>(a.c_str()));
    }
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
}

RunResult run_program(const std::vector<std::string> &argv, int nTimeout, const std::string &stdin_data)
{
    int outPipe[2];
    int errPipe[2];
    int inPipe[2];
    if (pipe(outPipe) != 0 || pipe(errPipe) != 0 || pipe(inPipe) != 0) {
        abort();
    }
    auto start = std::chrono::steady_clock::now();
    pid_t pid = fork();
    if (pid == 0) {
        dup2(outPipe[1], STDOUT_FILENO);
        dup2(errPipe[1], STDERR_FILENO);
        dup2(inPipe[0], STDIN_FILENO);
        close(outPipe[0]);
        close(errPipe[0]);
        close(inPipe[1]);
        exec_program(argv);
    }
    close(outPipe[1]);
    close(errPipe[1]);
    close(inPipe[0]);
    // A writer process feeds standard input, so that neither side waits on
    // the other's full pipe, and a program that stops reading ends it quietly.
    pid_t writer = fork();
    if (pid == -1 || writer == -1) {
        abort(); // never kill(-1, ...) below
    }
    if (writer == 0) {
        signal(SIGPIPE, SIG_IGN);
        close(outPipe[0]);
        close(errPipe[0]);
        size_t nDone = 0;
        while (nDone < stdin_data.size()) {
            ssize_t n = write(inPipe[1], stdin_data.data() + nDone, stdin_data.size() - nDone);
            if (n <= 0) {
                break;
            }
            nDone += static_cast<size_t>(n);
        }
        _exit(0);
    }
    close(inPipe[1]);
    // Both pipes are drained while waiting, with a deadline against a hang.
    RunResult result{0, "", "", 0};
    int fds[2] = {outPipe[0], errPipe[0]};
    std::string *sinks[2] = {&result.out, &result.err};
    bool bOpen[2] = {true, true};
    while (bOpen[0] || bOpen[1]) {
        fd_set set;
        FD_ZERO(&set);
        for (int i = 0; i < 2; i++) {
            if (bOpen[i]) {
                FD_SET(fds[i], &set);
            }
        }
        timeval tv{0, 100000};
        if (select(std::max(fds[0], fds[1]) + 1, &set, nullptr, nullptr, &tv) > 0) {
            for (int i = 0; i < 2; i++) {
                char buf[4096];
                ssize_t n = bOpen[i] && FD_ISSET(fds[i], &set) ? read(fds[i], buf, sizeof(buf)) : -1;
                if (n > 0) {
                    sinks[i]->append(buf, static_cast<size_t>(n));
                } else if (n == 0) {
                    bOpen[i] = false;
                }
            }
        }
        double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (elapsed > nTimeout) {
            kill(pid, SIGKILL);
            break;
        }
    }
    close(outPipe[0]);
    close(errPipe[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    kill(writer, SIGKILL);
    waitpid(writer, nullptr, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.nSignal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    auto given = [&argv](const char *pArg) { return std::find(argv.begin(), argv.end(), pArg) != argv.end(); };
    if (given(VERIFY_TOOL_PATH) && given("--json") && !result.out.empty()) {
        EXPECT_EQ(json_schema_errors(result.out), "") << result.out;
        EXPECT_EQ(nlohmann::json::parse(result.out, nullptr, false).value("status", -1), result.status) << result.out;
    }
    return result;
}

std::string json_schema_errors(const std::string &lines)
{
    static const char *const VALIDATE =
        "import json, sys, jsonschema\n"
        "v = jsonschema.Draft202012Validator(json.load(open(sys.argv[1])))\n"
        "v.check_schema(v.schema)\n"
        "print('\\n'.join(e.json_path + ': ' + e.message for line in sys.stdin if line.strip()\n"
        "                for e in v.iter_errors(json.loads(line))), end='')\n";
    RunResult r = run_program({"/usr/bin/python3", "-c", VALIDATE, VERIFY_SCHEMA_PATH}, 60, lines);
    return r.status == 0 ? r.out : "validator status " + std::to_string(r.status) + ": " + r.out + r.err;
}

int spawn_program(const std::vector<std::string> &argv)
{
    pid_t pid = fork();
    if (pid == 0) {
        int fdNull = open("/dev/null", O_RDWR);
        dup2(fdNull, STDIN_FILENO);
        dup2(fdNull, STDOUT_FILENO);
        exec_program(argv);
    }
    if (pid == -1) {
        abort(); // callers signal the pid: never kill(-1, ...)
    }
    return pid;
}

int wait_program(int pid)
{
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
}

RunResult run_encrypt(const std::vector<std::string> &args, int nTimeout)
{
    return run_program(joined({ENCRYPT_TOOL_PATH}, args), nTimeout);
}

RunResult run_key_tool(const std::vector<std::string> &args, int nTimeout)
{
    return run_program(joined({KEY_TOOL_PATH}, args), nTimeout);
}

RunResult run_verify_tool(const std::vector<std::string> &args, int nTimeout)
{
    return run_program(joined({VERIFY_TOOL_PATH}, args), nTimeout);
}

FifoReader::FifoReader(const std::string &fifo, size_t nStop) : path(fifo), nStopAfter(nStop)
{
    thread = std::thread([this] {
        int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        unsigned char buf[4096];
        ssize_t n = 0;
        while (fd >= 0 && got.size() <= nStopAfter && (n = read(fd, buf, sizeof(buf))) > 0) {
            got.insert(got.end(), buf, buf + n);
        }
        if (fd >= 0) {
            close(fd);
        }
        bDone = true;
    });
}

Bytes FifoReader::finish()
{
    while (!bDone) {
        int fd = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0) {
            close(fd);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    thread.join();
    return got;
}

std::string private_device(const std::string &folder, const std::string &name)
{
    std::string device = "/dev/" + name;
    std::string node = folder + "/" + name;
    struct stat st;
    if (stat(device.c_str(), &st) == 0 && S_ISCHR(st.st_mode) &&
        mknod(node.c_str(), S_IFCHR | 0666, st.st_rdev) == 0) {
        int fd = open(node.c_str(), O_WRONLY | O_CLOEXEC); // a nodev mount refuses it
        if (fd != -1) {
            close(fd);
            return node;
        }
        unlink(node.c_str());
    }
    return device;
}

int open_descriptor_count()
{
    int nCount = 0;
    for (const auto &entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        (void)entry;
        nCount++;
    }
    return nCount;
}

SigningFiles::SigningFiles(size_t nImage, unsigned nSeed)
{
    write_file(in, random_bytes(nImage, nSeed));
    write_file(code, random_bytes(16384, nSeed + 1));
    write_file(key, key_file(test_key(1024)));
    write_file(comm, key_file(test_key(1017)));
}

std::vector<std::string> env_argv(const std::vector<std::string> &env, const std::vector<std::string> &argv,
                                  const std::vector<std::string> &args)
{
    return joined(joined(joined({"/usr/bin/env"}, env), argv), args);
}

Bytes fresh_blob(int nBits, unsigned nE)
{
    EVP_PKEY *pkey = new_rsa_key(nBits, nE);
    Bytes blob;
    for (const char *name : {OSSL_PKEY_PARAM_RSA_N, OSSL_PKEY_PARAM_RSA_E, OSSL_PKEY_PARAM_RSA_D}) {
        BIGNUM *bn = rsa_number(pkey, name);
        Bytes field = bn_to_le(bn, 128);
        blob.insert(blob.end(), field.begin(), field.end());
        BN_clear_free(bn);
    }
    BIGNUM *p = rsa_number(pkey, OSSL_PKEY_PARAM_RSA_FACTOR1), *q = rsa_number(pkey, OSSL_PKEY_PARAM_RSA_FACTOR2);
    BIGNUM *g = BN_new();
    BN_CTX *bnCtx = BN_CTX_new();
    BN_sub_word(p, 1), BN_sub_word(q, 1), BN_gcd(g, p, q, bnCtx), BN_mul(p, p, q, bnCtx), BN_div(p, nullptr, p, g, bnCtx);
    BN_rshift1(p, p);
    Bytes half = bn_to_le(p, 128);
    blob.insert(blob.end(), half.begin(), half.end());
    BN_clear_free(p), BN_clear_free(q), BN_free(g), BN_CTX_free(bnCtx);
    EVP_PKEY_free(pkey);
    return blob;
}
