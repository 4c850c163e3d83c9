// SPDX-License-Identifier: Apache-2.0
// Test helpers: RSA keys and arithmetic from OpenSSL (independent of our
// codec), key files, temporary folders and running the tools as processes.
#pragma once

#include <openssl/bn.h>
#include <openssl/types.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

using Bytes = std::vector<unsigned char>;

// An RSA key made by OpenSSL; the numbers and OpenSSL's key live as long as
// the test binary.
struct TestKey {
    const BIGNUM *n;
    const BIGNUM *e;
    const BIGNUM *d;
    int bits;
    EVP_PKEY *pkey;
};

// A fresh key of the given modulus size with e = 65537, made once per size.
const TestKey &test_key(int bits);

// The value as nLen little-endian bytes (high bytes cut or zero-filled).
Bytes bn_to_le(const BIGNUM *bn, int nLen);
// The nLen little-endian bytes at p as a BIGNUM (caller frees).
BIGNUM *bn_from_le(const unsigned char *p, int nLen);
// base (little-endian bytes) ^ exp mod n, as nOutLen little-endian bytes.
Bytes model_modexp(const Bytes &base, const BIGNUM *exp, const BIGNUM *n, int nOutLen);

// The 384-byte blob: n, e, d as 128 little-endian bytes each.
Bytes key_blob(const TestKey &key);
// A key file of three 552-byte records; `used`/`sign` and the digits above
// the 32nd are filled with junk when bJunk is set.
Bytes key_file(const BIGNUM *n, const BIGNUM *e, const BIGNUM *d, bool bJunk = false);
Bytes key_file(const TestKey &key, bool bJunk = false);

// Deterministic pseudo-random bytes.
Bytes random_bytes(size_t nLen, unsigned nSeed);

Bytes read_file(const std::string &path);
void write_file(const std::string &path, const Bytes &data);
bool file_exists(const std::string &path);
// The names in a folder, sorted.
std::vector<std::string> folder_names(const std::string &path);

// A temporary folder removed at the end of the test.
struct TempDir {
    std::string path;
    TempDir();
    ~TempDir();
    std::string file(const std::string &name) const { return path + "/" + name; }
};

struct RunResult {
    int status;          // exit status, or -1 when killed by a signal or the time limit
    std::string out;     // standard output
    std::string err;     // standard error
    double seconds;
    int nSignal = 0;     // the signal that ended it, or 0
};

// Runs encrypt_tool with the five files.
RunResult run_encrypt(const std::vector<std::string> &args, int nTimeout = 60);

// The five files of an encrypt_tool run, in a temporary folder.
struct ToolFiles {
    TempDir dir;
    std::string in = dir.file("in.img");
    std::string out = dir.file("out.img");
    std::string code = dir.file("code.bin");
    std::string key = dir.file("sign.key");
    std::string comm = dir.file("comm.key");
    std::vector<std::string> args() const { return {in, out, code, key, comm}; }
    RunResult run() const { return run_encrypt(args()); }
};

// Runs a program with arguments (argv[0] is the program), standard input from
// stdin_data, killed after nTimeout seconds. What verify_tool --json prints
// (argv holds VERIFY_TOOL_PATH and --json) must match its schema, and its
// "status" the exit status: else the test fails.
RunResult run_program(const std::vector<std::string> &argv, int nTimeout = 60,
                      const std::string &stdin_data = "");

// What the schema of verify_tool --json (Debian's python3-jsonschema) says
// against each JSON object of lines (one a line, or not JSON); empty when
// every one is valid.
std::string json_schema_errors(const std::string &lines);

// Replaces this (child) process with argv[0] run on argv; never returns.
[[noreturn]] void exec_program(const std::vector<std::string> &argv);
// Starts a program with its standard output on /dev/null; returns its pid.
int spawn_program(const std::vector<std::string> &argv);
// Waits for a started program; returns its raw wait status.
int wait_program(int pid);

// What a FIFO receives, collected in a thread from the moment it is made;
// the reader leaves once it has more than nStopAfter bytes. finish() lets go
// a reader that no writer ever came to, and returns what it got.
struct FifoReader {
    std::string path;
    size_t nStopAfter;
    Bytes got;
    std::atomic<bool> bDone{false};
    std::thread thread;
    explicit FifoReader(const std::string &fifo, size_t nStop = SIZE_MAX);
    Bytes finish();
};

// A device node of our own in folder, the same device as /dev/NAME, so that
// a faulty build run as root replaces that node and never the machine's;
// /dev/NAME itself where no node can be made or opened there.
std::string private_device(const std::string &folder, const std::string &name);

// The number of descriptors this process has open.
int open_descriptor_count();

// Runs key_tool or verify_tool with args.
RunResult run_key_tool(const std::vector<std::string> &args, int nTimeout = 60);
RunResult run_verify_tool(const std::vector<std::string> &args, int nTimeout = 60);

// The inputs of an encrypt_tool run that signs: an image of nImage bytes and
// a code file of 16384 (random_bytes of nSeed and nSeed + 1), the test keys of
// 1024 bits (signing) and 1017 bits (common).
struct SigningFiles : ToolFiles {
    SigningFiles(size_t nImage, unsigned nSeed);
};

// The command line of argv followed by args, run through /usr/bin/env with
// the variables of env set (NAME=value each).
std::vector<std::string> env_argv(const std::vector<std::string> &env, const std::vector<std::string> &argv,
                                  const std::vector<std::string> &args = {});

// A fresh key blob of nBits with public exponent nE, made by OpenSSL, and
// after it lambda/2, lambda = lcm(p - 1, q - 1).
Bytes fresh_blob(int nBits, unsigned nE);
