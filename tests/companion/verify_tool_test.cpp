// SPDX-License-Identifier: Apache-2.0
// verify_tool: the whole flow from a new key to a restored image, trust, every
// flipped byte of what it checks, crafted tables and stored keys, JSON for odd
// names, pipes and FIFOs, and its command line.
#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <random>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "output_file.h"
#include "image/image_model.h"
#include "test_support.h"
#include "verify_tool.h"

namespace {

// A signed image of nSize bytes made from fresh keys by the tools themselves;
// a signing key with another exponent than 65537 is made by OpenSSL (pem) and
// imported. A FIFO is made for an image or a restored image to go through;
// restoredImage is what the model restores from the signed image.
struct SignedFlow : ToolFiles {
    Bytes image;
    Bytes signedImage;
    Bytes restoredImage;
    std::string pem = dir.file("sign.pem");
    std::string restored = dir.file("restored.img");
    std::string fifo = dir.file("restore.fifo");

    explicit SignedFlow(unsigned nExponent = 65537, size_t nSize = 70000) : image(random_bytes(nSize, 91))
    {
        if (mkfifo(fifo.c_str(), 0600) != 0) { // ends the test: the restore tests need it
            throw std::filesystem::filesystem_error("mkfifo", fifo, std::error_code(errno, std::generic_category()));
        }
        write_file(in, image);
        write_file(code, random_bytes(16384, 92));
        EXPECT_EQ(nExponent == 65537 ? run_key_tool({"generate", key}).status
                                     : run_program({"/usr/bin/openssl", "genpkey", "-algorithm", "RSA", "-out", pem,
                                                    "-pkeyopt", "rsa_keygen_bits:1024", "-pkeyopt",
                                                    "rsa_keygen_pubexp:" + std::to_string(nExponent)})
                                               .status + run_key_tool({"import", pem, key}).status,
                  0);
        EXPECT_EQ(run_key_tool({"generate", "--bits", "1017", comm}).status, 0);
        EXPECT_EQ(run().status, 0);
        signedImage = read_file(out);
        restoredImage = model::verify(signedImage, {}).restored;
    }
    // SHA-256 of the stored signing public half, computed here.
    std::string fingerprint() const { return model::sha256_hex(signedImage.data() + 16384 + 640, 256); }
};

std::string last_line(const std::string &out)
{
    std::string trimmed = out.substr(0, out.size() - (out.empty() ? 0 : 1));
    return trimmed.substr(trimmed.rfind('\n') + 1);
}

TEST(VerifyFlow, SignVerifyRestoreAndTrust)
{
    SignedFlow f;
    std::string hex = f.fingerprint();
    RunResult shown = run_key_tool({"show", f.key});
    EXPECT_EQ(shown.status, 0) << shown.out;
    EXPECT_NE(shown.out.find("Fingerprint (SHA-256 of modulus and exponent, little-endian): " + hex), std::string::npos);

    RunResult r = run_verify_tool({"--key", f.key, "--original", f.in, "--restore", f.restored, f.out});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(last_line(r.out), "Verified");
    model::Options o{nullptr, "", &f.image, true};
    EXPECT_EQ(read_file(f.restored), f.restoredImage); // the original but at the keep bytes
    EXPECT_EQ(model::verify(f.signedImage, o).original, model::PASSED);

    // Without a trusted key the result says what was not checked (verdicts and
    // failure lines: VerifyModel).
    EXPECT_EQ(last_line(run_verify_tool({f.out}).out), "Verified, but the signing key was not checked against a "
                                                       "trusted one (give --key or --fingerprint)");
    nlohmann::json report = nlohmann::json::parse(run_verify_tool({"--json", f.out}).out);
    EXPECT_NE(report["note"].get<std::string>().find("not checked against a trusted"), std::string::npos);

    // The schema is the JSON's contract: each object the tests make is checked
    // against it (run_program). Here it refuses objects with a field missing, of
    // another type, outside its values, or one it does not list.
    nlohmann::json error = nlohmann::json::parse(run_verify_tool({"--json", f.dir.file("missing")}).out);
    EXPECT_EQ(json_schema_errors(report.dump() + "\n" + error.dump() + "\n"), "");
    struct { const nlohmann::json &object; const char *pointer; nlohmann::json value; } cases[] = {
        {report, "/status", nullptr}, {report, "/format", nullptr}, {report, "/status", "0"}, {report, "/status", 1},
        {report, "/format", 2}, {report, "/size", "70000"}, {report, "/checks/key", "skipped"},
        {report, "/blocks/0/restored", nullptr}, {report, "/signing_key/sha256", "ABC"}, {report, "/extra", 1},
        {error, "/status", nullptr}, {error, "/status", 1}, {error, "/error", nullptr},
    };
    for (const auto &c : cases) {
        nlohmann::json broken = c.object;
        nlohmann::json::json_pointer pointer(c.pointer);
        if (c.value.is_null()) {
            broken[pointer.parent_pointer()].erase(pointer.back());
        } else {
            broken[pointer] = c.value;
        }
        EXPECT_NE(json_schema_errors(broken.dump() + "\n"), "") << c.pointer << " " << c.value;
    }
}

// Runs verify_tool in this process with its output thrown away; its status.
int verify_in_process(std::vector<std::string> args)
{
    args.insert(args.begin(), "verify_tool");
    std::vector<char *> argv;
    for (std::string &a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    const int kStreams[] = {STDOUT_FILENO, STDERR_FILENO};
    int fdNull = open("/dev/null", O_WRONLY | O_CLOEXEC), fdSaved[2];
    fflush(nullptr);
    for (int i = 0; i < 2; i++) {
        fdSaved[i] = dup(kStreams[i]);
        dup2(fdNull, kStreams[i]);
    }
    int nStatus = verify_tool_run(static_cast<int>(args.size()), argv.data());
    fflush(nullptr);
    for (int i = 0; i < 2; i++) {
        dup2(fdSaved[i], kStreams[i]);
        close(fdSaved[i]);
    }
    close(fdNull);
    return nStatus;
}

// JSON comes from a JSON library: names that are not UTF-8, long UTF-8 names
// and control characters parse back; errors are JSON too with --json; text
// output escapes a newline, so a name cannot forge a "Verified" line.
TEST(VerifyOutput, OddNamesParseBackAndCannotForgeLines)
{
    SignedFlow f;
    std::string longName;
    for (int i = 0; i < 120; i++) {
        longName += "\xc3\xa9"; // é
    }
    Bytes damaged = f.signedImage;
    damaged[1000] ^= 1;
    for (const std::string &name : {std::string("bad\xff\xfe.img"), longName, std::string("a\nVerified\n.img")}) {
        std::string path = f.dir.file(name);
        write_file(path, damaged);
        RunResult r = run_verify_tool({"--json", "--original", f.in, path});
        EXPECT_EQ(r.status, 1);
        nlohmann::json json = nlohmann::json::parse(r.out);
        EXPECT_EQ(json["ok"], false);
        if (name == longName) {
            EXPECT_EQ(json["image"], path);
            EXPECT_EQ(json["failures"][0], "SPL window differs from the original at offset 1000: " + path);
        }
        r = run_verify_tool({"--original", f.in, path});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(("\n" + r.out + "\n").find("\nVerified\n"), std::string::npos) << r.out; // no line of its own
    }
    // Control bytes, DEL and backslashes of a name are shown escaped.
    EXPECT_NE(run_verify_tool({f.dir.file("a\x01\x7f\\b\tc")}).err.find(f.dir.file("a\\x01\\x7f\\\\b\\tc: No such")),
              std::string::npos);
    RunResult r = run_verify_tool({"--json", f.dir.file("missing.img")}); // its "status" checked there
    EXPECT_EQ(r.err, "verify_tool: " + nlohmann::json::parse(r.out)["error"].get<std::string>() + "\n");
    EXPECT_EQ(run_verify_tool({"--json", "--bogus", f.out}).out.rfind("{\"error\"", 0), 0u);
}
// Standard output is checked at the end: a report that cannot be written is
// status 2 with a line on standard error (JSON, text, key_tool, --version);
// encrypt_tool, which prints nothing on success, keeps status 0.
TEST(VerifyOutput, AReportThatCannotBeWrittenIsStatusTwo)
{
    SignedFlow f;
    std::string full = private_device(f.dir.path, "full");
    for (auto [argv, nStatus] : {std::pair{std::vector<std::string>{VERIFY_TOOL_PATH, "--json", f.out}, 2},
                                {{VERIFY_TOOL_PATH, "--key", f.key, f.out}, 2}, {{KEY_TOOL_PATH, "show", f.key}, 2},
                                {{KEY_TOOL_PATH, "--version"}, 2}, {{ENCRYPT_TOOL_PATH, f.in, f.out, f.code, f.key, f.comm}, 0}}) {
        std::string tool = std::filesystem::path(argv[0]).filename().string();
        argv.insert(argv.begin(), {"/bin/sh", "-c", "exec \"$@\" > \"$0\"", full});
        RunResult r = run_program(argv);
        EXPECT_EQ(r.status, nStatus) << tool;
        EXPECT_EQ(r.err, nStatus == 0 ? "" : tool + ": File write error: standard output: No space left on device\n");
    }
}

// An image from a FIFO or a pipe is read once: its size is what was read,
// and --original and --restore work from the one pass.
TEST(VerifyPipes, FifoAndPipeImages)
{
    SignedFlow f;
    std::thread writer([&] { write_file(f.fifo, f.signedImage); });
    RunResult r = run_verify_tool({"--json", "--key", f.key, "--original", f.in, "--restore", f.restored, f.fifo});
    writer.join();
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    nlohmann::json json = nlohmann::json::parse(r.out);
    EXPECT_EQ(json["size"], f.signedImage.size());
    EXPECT_EQ(json["checks"]["restore"], "passed");
    EXPECT_EQ(read_file(f.restored), f.restoredImage);

    std::vector<std::string> argv{VERIFY_TOOL_PATH, "--original", f.in, "/dev/stdin"};
    r = run_program(argv, 60, std::string(f.signedImage.begin(), f.signedImage.end()));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("(" + std::to_string(f.signedImage.size()) + " bytes)"), std::string::npos) << r.out;
}

// A sparse image of 256 MiB restores to as few blocks as cp's copy has, from
// the kernel's copy and from the pass that compares with --original.
TEST(VerifyRestore, HolesStay)
{
    SignedFlow f;
    std::string sparse = f.dir.file("sparse.img");
    Bytes head = random_bytes(40000, 94);
    write_file(sparse, head);
    int fd = open(sparse.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_EQ(pwrite(fd, head.data(), 8192, 200 << 20), 8192);
    close(fd);
    ASSERT_EQ(truncate(sparse.c_str(), 256 << 20), 0);
    std::string sparseSigned = f.dir.file("sparse-signed.img");
    ASSERT_EQ(run_encrypt({sparse, sparseSigned, f.code, f.key, f.comm}).status, 0);
    std::string cpCopy = f.dir.file("cp.img");
    ASSERT_EQ(run_program({"/bin/cp", "--sparse=auto", sparseSigned, cpCopy}).status, 0);
    struct stat cpStat;
    ASSERT_EQ(stat(cpCopy.c_str(), &cpStat), 0);
    if (cpStat.st_blocks * 512 > (4 << 20)) {
        GTEST_SKIP() << "this file system keeps no holes";
    }
    for (bool bOriginal : {false, true}) {
        std::string restored = f.dir.file(bOriginal ? "sparse-compared.img" : "sparse-copied.img");
        std::vector<std::string> args{"--restore", restored, sparseSigned};
        if (bOriginal) {
            args.insert(args.begin(), {"--original", sparse});
        }
        ASSERT_EQ(run_verify_tool(args).status, 0) << bOriginal;
        struct stat st;
        ASSERT_EQ(stat(restored.c_str(), &st), 0);
        EXPECT_EQ(st.st_size, 256 << 20);
        // The pass through --original leaves holes in whole 64 KiB pieces.
        EXPECT_LE(st.st_blocks, cpStat.st_blocks + (bOriginal ? 256 : 0)) << bOriginal;
        EXPECT_EQ(run_program({"/usr/bin/cmp", "--ignore-initial=32768", restored, sparse}).status, 0) << bOriginal;
    }
}

// Pieces of 1 MiB: a difference beside a piece's edge is found where it is, a
// length one byte off (a zero byte too) where the shorter ends; what passes is
// restored, from what was read or by the kernel's copy, as the original with
// the signed code window and keep bytes.
TEST(VerifyPieces, EdgesLengthsAndTheRestoredImage)
{
    const size_t kTail = 32768, kPiece = 1 << 20, kWhole = kTail + 2 * kPiece, kEnd = kWhole + 4096, kNo = ~size_t{0};
    SignedFlow f(65537, kEnd);
    struct { size_t nFlip, nImage, nOriginal; unsigned char nFill; size_t nDiffers; } cases[] = {
        {kTail, kEnd, kEnd, 0, kTail}, {kTail + kPiece - 1, kEnd, kEnd, 0, kTail + kPiece - 1},
        {kTail + kPiece, kEnd, kEnd, 0, kTail + kPiece}, {kEnd - 1, kEnd, kEnd, 0, kEnd - 1},
        {kNo, kEnd, kEnd - 1, 0, kEnd - 1}, {kNo, kEnd, kEnd + 1, 0, kEnd}, {kNo, kEnd, kEnd + 1, 1, kEnd},
        {kNo, kWhole, kWhole + 1, 0, kWhole}, {kNo, kWhole + 1, kWhole, 0, kWhole}, {kNo, kWhole, kWhole, 0, kNo},
        {kNo, kEnd, kEnd, 0, kNo},
    };
    for (const auto &c : cases) {
        Bytes image = f.signedImage, model = f.image;
        model[std::min(c.nFlip, kEnd - 1)] ^= c.nFlip < kEnd ? 1 : 0;
        image.resize(c.nImage, c.nFill), model.resize(c.nOriginal, c.nFill);
        write_file(f.out, image), write_file(f.in, model);
        std::vector<std::string> failures{"Tail differs from the original at offset " + std::to_string(c.nDiffers) +
                                              ": " + f.out, "Restored image not written: the image did not verify"};
        EXPECT_EQ(model::failure_lines(
                      run_verify_tool({"--force", "--original", f.in, "--restore", f.restored, f.out}).out),
                  c.nDiffers == kNo ? std::vector<std::string>{} : failures) << c.nFlip << " " << c.nImage;
        std::copy_n(image.begin() + 428, 4, model.begin() + 428);
        std::copy_n(image.begin() + 16384, 16384, model.begin() + 16384);
        EXPECT_TRUE(c.nDiffers != kNo || read_file(f.restored) == model) << c.nImage;
        EXPECT_TRUE(c.nDiffers != kNo ||
                    (run_verify_tool({"--force", "--restore", f.restored, f.out}).status == 0 &&
                     read_file(f.restored) == model));
    }
}

// --restore replaces nothing that holds data without --force, and no input
// even with it; a FIFO and a character device hold none. It writes nothing,
// into a file or a FIFO, until every check has passed (a tail that differs
// from the original, another trusted key). A file made while the image is
// read is kept too: the restored image is linked in at the end.
// - is the image from standard input (a pipe, a file, a file read from
// elsewhere than its start), with --original and --restore.
TEST(VerifyRestore, AnExistingFileOnlyWithForceAndStandardInput)
{
    SignedFlow f(65537, 300000);
    std::string null = private_device(f.dir.path, "null"), kept = f.dir.file("kept");
    std::string shifted = f.dir.file("shifted.img"), otherKey = f.dir.file("other.key");
    std::string differs = f.dir.file("differs.img");
    ASSERT_EQ(run_key_tool({"generate", otherKey}).status, 0);
    Bytes tailChanged = f.image;
    tailChanged[60000] ^= 1;
    write_file(differs, tailChanged);
    write_file(kept, Bytes{1, 2, 3});
    write_file(f.restored, random_bytes(1000, 93));
    const std::string exists = "File exists (use --force to replace it): ", input = "Output file is an input file: ";
    const std::vector<std::string> tail{"--force", "--original", differs}, other{"--force", "--key", otherKey};
    const std::vector<std::string> passes{"--force", "--key", f.key, "--original", f.in};
    struct { std::vector<std::string> options; std::string target; int nStatus; std::string err; } cases[] = {
        {{}, f.in, 2, exists + f.in}, // the arguments of --original swapped
        {{"--force"}, kept, 0, ""}, {{}, f.dir.file("made.img"), 0, ""}, {{}, f.fifo, 0, ""}, {{}, null, 0, ""},
        {{"--force"}, f.out, 2, input + f.out}, {{"--force", "--key", f.key}, f.key, 2, input + f.key},
        {tail, f.restored, 1, ""}, {tail, f.fifo, 1, ""}, {other, f.restored, 1, ""}, {other, f.fifo, 1, ""},
        {passes, f.restored, 0, ""}, {passes, f.fifo, 0, ""},
    };
    for (const auto &c : cases) {
        Bytes before = c.target != f.fifo ? read_file(c.target) : Bytes();
        std::unique_ptr<FifoReader> reader(c.target == f.fifo ? new FifoReader(f.fifo) : nullptr);
        std::vector<std::string> args = c.options;
        args.insert(args.end(), {"--restore", c.target, f.out});
        RunResult r = run_verify_tool(args);
        Bytes got = reader ? reader->finish() : read_file(c.target);
        EXPECT_EQ(r.status, c.nStatus) << testing::PrintToString(args) << r.out << r.err;
        EXPECT_EQ(r.err, c.err.empty() ? "" : "verify_tool: " + c.err + "\n");
        EXPECT_TRUE(got == (c.nStatus != 0 ? before : (c.target == null ? Bytes() : f.restoredImage)))
            << testing::PrintToString(args) << ": " << got.size() << " bytes";
    }
    // The image through a FIFO whose writer makes the file once verify_tool
    // has read past the pipe's 64 KiB, then ends the image.
    signal(SIGPIPE, SIG_IGN);
    std::string late = f.dir.file("late.img");
    std::thread writer([&] {
        int fd = open(f.fifo.c_str(), O_WRONLY | O_CLOEXEC);
        write_all(fd, f.signedImage.data(), f.signedImage.size());
        write_file(late, Bytes{4, 5});
        close(fd);
    });
    EXPECT_EQ(run_verify_tool({"--restore", late, f.fifo}).err, "verify_tool: " + exists + late + "\n");
    writer.join();
    EXPECT_EQ(read_file(late), (Bytes{4, 5}));

    Bytes junk{'J', 'U', 'N', 'K', '!'};
    junk.insert(junk.end(), f.signedImage.begin(), f.signedImage.end());
    write_file(shifted, junk);
    const std::string verify = "exec \"$0\" --json --original \"$1\" --force --restore \"$2\" - ";
    for (const std::string &shell : {verify, verify + "< \"$3\"", "{ head -c 5 >/dev/null; " + verify + "; } < \"$4\""}) {
        RunResult r = run_program({"/bin/sh", "-c", shell, VERIFY_TOOL_PATH, f.in, kept, f.out, shifted}, 60,
                                  std::string(f.signedImage.begin(), f.signedImage.end()));
        nlohmann::json json = nlohmann::json::parse(r.out, nullptr, false);
        EXPECT_EQ(json.value("image", "") + std::to_string(json.value("size", 0u)), "-300000") << shell << r.err;
        EXPECT_TRUE(read_file(kept) == f.restoredImage) << shell;
        write_file(kept, Bytes{});
    }
    RunResult r = run_program({"/bin/sh", "-c", "exec \"$0\" --force --restore \"$1\" - < \"$1\"", VERIFY_TOOL_PATH, f.out});
    EXPECT_EQ(r.err, "verify_tool: " + input + f.out + "\n");
}

// Every open, read and key error of the three tools names its cause: the
// system's reason, or what is wrong with the key (encrypt_tool on a second
// line on standard error, after its fixed line; the others in the message).
// A file that root may not read is one of /proc's that nobody may. -h and -V
// are --help and --version; key_tool's usage error names only its commands.
TEST(ToolMessages, EveryErrorNamesItsCauseAndShortForms)
{
    SignedFlow f;
    const std::string denied = "/proc/sys/vm/drop_caches", missing = f.dir.file("missing"), folder = f.dir.path;
    std::string pem = f.dir.file("rsa.pem"), cut = f.dir.file("cut.key"), odd = f.dir.file("odd.key");
    std::string req = f.dir.file("req.bin");
    ASSERT_EQ(run_program({"/usr/bin/openssl", "genpkey", "-algorithm", "RSA", "-out", pem}).status, 0);
    Bytes cutKey = read_file(f.key);
    write_file(cut, Bytes(cutKey.begin(), cutKey.begin() + 1000));
    write_file(odd, key_file(test_key(1024).n, test_key(1024).e, test_key(1017).d));
    write_file(req, Bytes(512, 0));
    std::string wide = f.dir.file("wide.key"), wider = f.dir.file("wider.key"); // e of 64 bits, shown whole, and 65
    Bytes wideKey(1656, 0);
    write_file(wide, (std::fill_n(wideKey.begin() + 552, 8, 0xFF), wideKey[0] = 1, wideKey)); // n = 1: odd, top even
    write_file(wider, (wideKey[560] = 1, wideKey));
    std::string isPem = "the file is PEM text, not a key file (key_tool import makes";
    std::string undo = "the private and public exponents do not undo each other";
    auto sign = [&](size_t nArg, const std::string &path) {
        std::vector<std::string> argv{ENCRYPT_TOOL_PATH, f.in, f.dir.file("o.img"), f.code, f.key, f.comm};
        return argv[nArg] = path, argv;
    };
    struct { std::vector<std::string> argv; int nStatus; std::string lines; } cases[] = {
        {sign(4, denied), 1, "File open error: " + denied + "\nencrypt_tool: Permission denied\n"},
        {sign(4, pem), 1, "Key file error: " + pem + "\nencrypt_tool: " + isPem},
        {sign(4, odd), 1, "Key file error: " + odd + "\nencrypt_tool: " + undo},
        {sign(4, wide), 1, "a modulus of 1 bits and a public exponent of 18446744073709551615;"},
        {{KEY_TOOL_PATH, "show", wide}, 1, "\nPublic exponent: 18446744073709551615\n"},
        {{KEY_TOOL_PATH, "show", wider}, 1, "\nPublic exponent: 65 bits\n"},
        {sign(4, cut), 1, "\nencrypt_tool: the file is 1000 bytes, not 1656 (three key records of 552 bytes)\n"},
        {{KEY_TOOL_PATH, "show", missing}, 2, "key_tool: File read error: " + missing + ": No such file or directory\n"},
        {{KEY_TOOL_PATH, "import", denied, missing}, 2, "key_tool: File open error: " + denied + ": Permission denied\n"},
        {{KEY_TOOL_PATH, "sign-request", req, missing, pem}, 1, "key_tool: Key file error: " + pem + ": " + isPem},
        {{KEY_TOOL_PATH, "sign-request", req, missing, odd}, 1, "key_tool: Key file error: " + odd + ": " + undo},
        {{KEY_TOOL_PATH, "frobnicate"}, 2, "frobnicate\nUsage: key_tool generate|import|export|show|list|sign-request "
                                           "[OPTION]... NAME... (see key_tool --help)\n"},
        {{VERIFY_TOOL_PATH, missing}, 2, "verify_tool: File open error: " + missing + ": No such file or directory\n"},
        {{VERIFY_TOOL_PATH, folder}, 2, "verify_tool: File read error: " + folder + ": Is a directory\n"},
        {{VERIFY_TOOL_PATH, "--original", missing, f.out}, 2, "verify_tool: File open error: " + missing + ": No such"},
        {{VERIFY_TOOL_PATH, "--original", folder, f.out}, 2, "verify_tool: File read error: " + folder + ": Is a"},
        {{VERIFY_TOOL_PATH, "--key", denied, f.out}, 2, "verify_tool: File read error: " + denied + ": Permission denied"},
    };
    for (const auto &c : cases) {
        RunResult r = run_program(c.argv);
        EXPECT_EQ(r.status, c.nStatus) << c.lines;
        EXPECT_NE((r.out + r.err).find(c.lines), std::string::npos) << r.out << r.err;
    }
    for (const char *tool : {ENCRYPT_TOOL_PATH, KEY_TOOL_PATH, VERIFY_TOOL_PATH}) {
        for (auto [shortName, longName] : {std::pair{"-h", "--help"}, {"-V", "--version"}}) {
            RunResult given = run_program({tool, shortName});
            EXPECT_EQ(given.out + std::to_string(given.status), run_program({tool, longName}).out + "0") << tool;
        }
    }
}

// A result that is settled ends the read: an endless image whose table fails,
// or whose tail differs from the original's, and a stream whose checks are
// done without --original or --restore.
TEST(VerifyStops, ASettledResultEndsTheRead)
{
    SignedFlow f;
    std::string differs = f.dir.file("differs.img");
    Bytes tailChanged = f.image;
    tailChanged[40000] ^= 1;
    write_file(differs, tailChanged);
    // 256 MiB stands for endless: a tool that reads it all still ends, and
    // one that never ends is killed.
    const std::string endless =
        "img=$1; shift; cat \"$img\" /dev/zero | head -c 268435456 | timeout -s KILL 20 \"$@\" /dev/stdin";
    struct Case {
        const char *why;
        std::vector<std::string> argv;
        int nStatus;
        const char *line; // in standard output
    } cases[] = {
        {"/dev/zero", {VERIFY_TOOL_PATH, "/dev/zero"}, 1, "block table count is 0, not 4 (is this image signed?): /dev/zero"},
        {"/dev/zero, JSON", {VERIFY_TOOL_PATH, "--json", "/dev/zero"}, 1, "\"size\":null"},
        {"an endless stream", {"/bin/sh", "-c", endless, "sh", f.out, VERIFY_TOOL_PATH, "--key", f.key}, 0,
         "Image: /dev/stdin (a stream, not read past its first 32768 bytes)"},
        {"an endless stream, JSON", {"/bin/sh", "-c", endless, "sh", f.out, VERIFY_TOOL_PATH, "--json"}, 0,
         "\"bytes_read\":32768"},
        {"an endless stream whose tail differs",
         {"/bin/sh", "-c", endless, "sh", f.out, VERIFY_TOOL_PATH, "--original", differs}, 1,
         "Tail differs from the original at offset 40000: /dev/stdin"},
    };
    for (const Case &c : cases) {
        RunResult r = run_program(c.argv, 20);
        EXPECT_EQ(r.status, c.nStatus) << c.why << ": " << r.err;
        EXPECT_NE(r.out.find(c.line), std::string::npos) << c.why << ":\n" << r.out;
    }
}

// A read or write error of a restore is a file error, never a verdict.
TEST(VerifyTrust, RestoreFileErrors)
{
    SignedFlow f;
    if (SANITIZED_BUILD) {
        return; // the sanitizers' runtime must come first
    }
    std::string shim = std::string("LD_PRELOAD=") + IO_FAULT_SHIM_PATH;
    // Into a FIFO the restored image goes from a spool, after the verdict.
    const std::string &fifo = f.fifo;
    TempDir spool; // $TMPDIR for the spool
    struct Fault {
        std::vector<std::string> faults;
        const char *reason; // of "File write error: FIFO" on standard error; null: a pass
    } faults[] = {
        {{"IO_FAULT=read: (deleted)"}, "Input/output error"},
        {{"IO_FAULT=write:/restore.fifo"}, "Input/output error"},
        {{"IO_FAULT_NO_TMPFILE=1", "TMPDIR=" + spool.path}, nullptr},
        {{"TMPDIR=" + spool.file("missing")}, "No such file or directory"},
    };
    for (const Fault &c : faults) {
        std::vector<std::string> env{shim, "IO_FAULT_STALE_ERRNO=" + std::to_string(ENXIO)};
        env.insert(env.end(), c.faults.begin(), c.faults.end());
        FifoReader reader(fifo);
        RunResult r = run_program(env_argv(env, {VERIFY_TOOL_PATH, "--original", f.in, "--restore", fifo, f.out}));
        Bytes got = reader.finish();
        bool bFails = c.reason != nullptr;
        EXPECT_EQ(r.status, bFails ? 2 : 0) << c.faults[0];
        EXPECT_EQ(r.err, bFails ? "verify_tool: File write error: " + fifo + ": " + c.reason + "\n" : "") << c.faults[0];
        EXPECT_EQ(r.out.empty(), bFails) << c.faults[0];
        EXPECT_TRUE(got == (bFails ? Bytes() : f.restoredImage)) << c.faults[0] << ": " << got.size() << " bytes";
        EXPECT_EQ(folder_names(spool.path), std::vector<std::string>{}) << c.faults[0] << ": a spool was left";
    }
}
// A PEM RSA public key goes wherever a trusted key goes: show prints the
// stored key's fingerprint for export's PEM, for OpenSSL's RSA PUBLIC KEY and
// for the key file, export writes the same PEM again, and the image verifies
// with it; a PEM that holds no RSA public key (a private key, a broken one) is
// refused by all three with one line naming the forms taken.
TEST(VerifyTrust, PemPublicKeysWhereverAKeyGoes)
{
    SignedFlow f(3);
    std::string spki = f.dir.file("pub.pem");
    std::string pkcs1 = f.dir.file("rsa.pem");
    std::string broken = f.dir.file("broken.pem");
    ASSERT_EQ(run_key_tool({"export", f.key, spki}).status, 0);
    ASSERT_EQ(run_program({"/usr/bin/openssl", "rsa", "-pubin", "-in", spki, "-RSAPublicKey_out", "-out", pkcs1}).status, 0);
    write_file(broken, Bytes{'-', '-', '-', '-', '-', 'B', 'E', 'G', 'I', 'N', ' '});
    std::string again = f.dir.file("again.pem"), both = f.dir.file("both.pem"); // a private key after a public one
    Bytes text = read_file(spki), secret = read_file(f.pem);
    text.insert(text.end(), secret.begin(), secret.end());
    write_file(both, text);
    for (const auto &[key, bTaken] :
         {std::pair{spki, true}, {pkcs1, true}, {f.key, true}, {f.pem, false}, {broken, false}, {both, false}}) {
        RunResult runs[] = {run_key_tool({"show", key}), run_key_tool({"export", "--force", key, again}),
                            run_verify_tool({"--key", key, f.out})};
        for (const RunResult &r : runs) {
            EXPECT_EQ(r.status, bTaken ? 0 : 2) << key << r.err;
            EXPECT_EQ(r.err, bTaken ? "" : r.err.substr(0, r.err.find('\n') + 1)) << key;
            EXPECT_EQ(r.err.find("neither a key file nor a PEM RSA public key") != std::string::npos, !bTaken) << key;
        }
        EXPECT_EQ(runs[0].out.find("little-endian): " + f.fingerprint()) != std::string::npos, bTaken) << key;
        EXPECT_EQ(runs[0].out.find("Modulus: 1024 bits\nPublic exponent: 3\nPrivate exponent: ") != std::string::npos,
                  bTaken) << key;
        EXPECT_EQ(runs[0].out.rfind("Public key: " + key + " (PEM)\n", 0) == 0, bTaken && key != f.key) << key;
        EXPECT_EQ(last_line(runs[0].out), bTaken ? "encrypt_tool: accepts this key" : "") << key;
        EXPECT_TRUE(!bTaken || read_file(again) == read_file(spki)) << key;
    }
}

// verify_tool against the model (image_model.h), through the process: four
// generated blocks under stored keys of 1017, 1024 and 1030 bits with e = 3 to
// 65537, of 1024 bits with e = N - 2, under unusable ones; signed blocks under
// each crafted table. Text or JSON; --key (its file, cut short, e + 2, another
// key's), --fingerprint (either case, a wrong one) or neither; --original (as
// the model restores the image, a byte or the length changed); --restore.
TEST(VerifyModel, VerdictsAgreeWithTheModel)
{
    TempDir dir;
    std::string image = dir.file("image.img"), original = dir.file("in.img"), restored = dir.file("restored.img");
    std::string paths[4] = {dir.file("0.key"), dir.file("1.key"), dir.file("2.key"), dir.file("3.key")};
    std::mt19937 rng(24);
    int nRun = 0;
    Bytes keys[4], pub;
    auto check = [&](const std::string &why, const std::vector<Bytes> &blocks, const Bytes &table, int nRuns,
                     bool bFixed) {
        Bytes img = model::image(pub, blocks, table, rng() % 3 == 0 ? 0 : rng() % 3000, rng());
        write_file(image, img);
        std::string hex = model::sha256_hex(&img[model::kSignN], 256), prints[3] = {hex, hex, hex};
        std::transform(hex.begin(), hex.end(), prints[1].begin(), ::toupper);
        prints[2][7] = hex[7] == '0' ? '1' : '0';
        for (int r = 0; r < nRuns; r++, nRun++) {
            const unsigned kFixed[] = {0, 4, 7}; // 0 to 3 --key, 4 to 6 --fingerprint, 7 neither
            unsigned nTrust = bFixed ? kFixed[r] : rng() % 8, nOriginal = rng() % 16, nBlock = rng() % 4;
            bool bJson = bFixed ? r == 1 : nRun % 2 == 1;
            model::Options o{nTrust < 4 ? &keys[nTrust] : nullptr, nTrust - 4 < 3 ? prints[nTrust - 4] : "", nullptr,
                             false, image, nTrust < 4 ? paths[nTrust] : ""};
            std::vector<std::string> args{nTrust < 4 ? "--key" : "--fingerprint",
                                          nTrust < 4 ? paths[nTrust] : o.fingerprint};
            args.resize(nTrust < 7 ? 2 : 0);
            // 0 none, 1 as restored, 2 to 9 a byte flipped (in a block, at its end, at its keep, between, in the
            // code window, the tail), 10 and 11 a length; 12 as restored, with the image's keep byte flipped.
            nOriginal = nOriginal < 13 ? nOriginal : 1;
            Bytes damaged = img;
            damaged[431 - nBlock] ^= nOriginal == 12 ? 1 : 0;
            write_file(image, damaged);
            Bytes orig = model::verify(img, {}).restored;
            size_t nStart = nBlock == 3 ? 752 : 128 * nBlock, flips[] = {0, 0, nStart + 5, nStart + 127, 431 - nBlock,
                                                                         1000, 16383, 16484, 32768, img.size() - 1};
            if (nOriginal > 1 && nOriginal < 10 && flips[nOriginal] < orig.size()) {
                orig[flips[nOriginal]] ^= 1;
            }
            orig.resize(orig.size() + (nOriginal == 10 ? 1 : 0) - (nOriginal == 11 ? 1 : 0));
            if (nOriginal > 0) {
                o.pOriginal = &orig;
                args.insert(args.end(), {"--original", original});
            }
            write_file(original, orig), std::filesystem::remove(restored);
            if ((o.bRestore = rng() % 2 == 1)) {
                args.insert(args.end(), {"--restore", restored});
            }
            args.insert(args.end(), {bJson ? "--json" : "--", image});
            model::Verdict v = model::verify(damaged, o);
            RunResult res = run_verify_tool(args);
            std::string at = why + ", run " + std::to_string(nRun) + " of seed 24: " + testing::PrintToString(args);
            EXPECT_EQ(model::report_differs(v, damaged, res.status, res.out, bJson), "") << at << "\n"
                                                                                      << res.out << res.err;
            EXPECT_TRUE(v.restore == model::PASSED ? read_file(restored) == v.restored : !file_exists(restored)) << at;
        }
    };
    const std::vector<std::vector<std::string>> roots = {{"2^(1015/e)", "2^(1015/e)-1", "1", "0"},
        {"2^(1015/e)", "signed", "1", "0"}, {"0", "0", "0", "0"}, {"0", "1", "1", "0"}, {"0", "1", "signed", "0"},
        {"0", "N0", "1", "0"}};
    model::each_key([&](const std::string &why, const Bytes &half, const BIGNUM *d, const BIGNUM *n) {
        // Usable keys of 1017, 1024 and 1030 bits with e = 3 to 65537, 1024 bits with e = N - 2, and one image
        // of each unusable key with e = 65537 or of 1024 bits.
        bool bUsable = model::usable(half.data()), bMain = why.find("1017 ") == 0 || why.find("1030 ") == 0;
        bool b1024 = why.find("1024 ") == 0, bE = why.find("N-2") == std::string::npos;
        if (bUsable ? !((bMain && bE) || b1024) : !b1024 && why.find("e 65537") == std::string::npos) {
            return;
        }
        model::Bn e(half.data() + 128, 128), e2, zero;
        BN_add(e2, e, BN_value_one()), BN_add_word(e2, 1);
        keys[0] = keys[1] = key_file(n, e, zero), keys[2] = key_file(n, e2, zero);
        keys[3] = key_file(model::rsa_key(BN_num_bits(n) == 1017 ? 1018 : 1017).first, e, zero);
        keys[1].resize(552 + 128), pub = half;
        for (int i = 0; i < 4; i++) {
            write_file(paths[i], keys[i]);
        }
        auto values = model::values(pub, d, n, 24);
        std::map<std::string, Bytes> named(values.begin(), values.end());
        named.emplace("signed", named["random"]);
        auto with_blocks = [&](const std::vector<std::string> &names, int nRuns) { // roots with each trust
            std::vector<Bytes> blocks;
            std::string at = why + ", blocks";
            for (const std::string &name : names) {
                blocks.push_back(named[name]), at += " " + name;
            }
            check(at, blocks, model::tables()[0].second, nRuns, nRuns == 3);
        };
        for (size_t g = 0; bUsable && g < (why == "1024 bits, e 65537" ? roots.size() : 2); g++) {
            with_blocks(roots[g], 3);
        }
        for (size_t i = 0, m = values.size(); i < m; i += bUsable ? 4 : m) { // all values in fours
            with_blocks({values[i].first, values[(i + 1) % m].first, values[(i + 2) % m].first,
                         values[(i + 3) % m].first}, 1);
        }
        if (why == "1024 bits, e 65537") { // each byte checked, flipped in turn, in this process as it is faster
            Bytes img = model::image(pub, model::signed_blocks(pub, d, n), model::tables()[0].second, 39999, 1);
            Bytes orig = model::verify(img, {}).restored;
            model::Options o{&keys[0], "", &orig, false};
            int nDescriptors = open_descriptor_count(); // and runs that fail early, or restore, leave none open
            write_file(image, Bytes(100, 0)), write_file(original, orig);
            EXPECT_EQ(verify_in_process({image}), 2);
            write_file(image, img);
            EXPECT_EQ(verify_in_process({"--original", dir.file("none.img"), image}), 2);
            EXPECT_EQ(verify_in_process({"--original", original, "--restore", restored, image}), 0);
            EXPECT_EQ(open_descriptor_count(), nDescriptors);
            // The SPL window, the stored signing key and table, every 7th byte of the tail and so its last.
            for (size_t nAt = 0; nAt < img.size();
                 nAt = nAt == 16383 ? 17024 : nAt == 17407 ? 32768 : nAt + (nAt < 32768 ? 1 : 7)) {
                img[nAt] ^= 1, write_file(image, img);
                ASSERT_EQ(verify_in_process({"--key", paths[0], "--original", original, image}),
                          model::verify(img, o).nStatus) << "byte " << nAt << " flipped";
                img[nAt] ^= 1;
            }
        }
        for (const auto &[tableWhy, table] : model::tables()) { // four signed blocks under ours, and the others
            if (d != nullptr && (tableWhy == "ours" || why == "1024 bits, e 65537")) {
                check(why + ", table " + tableWhy, model::signed_blocks(pub, d, n), table, tableWhy == "ours" ? 3 : 1,
                      false);
            }
        }
    });
}

TEST(VerifyArgs, SeparatorAndWrongValues)
{
    SignedFlow f;
    std::string dashed = f.dir.file("-image.img");
    std::filesystem::copy_file(f.out, dashed);
    std::filesystem::current_path(f.dir.path);
    EXPECT_EQ(run_verify_tool({"-image.img"}).status, 2);
    EXPECT_EQ(run_verify_tool({"--key", f.key, "--", "-image.img"}).status, 0);
    std::filesystem::current_path("/");
    struct Case {
        std::vector<std::string> args;
        std::string error;
    };
    std::vector<Case> cases = {
        {{"--fingerprint", "abc", f.out}, "--fingerprint must be 64 hexadecimal digits"},
        {{"--fingerprint", std::string(64, 'g'), f.out}, "--fingerprint must be 64 hexadecimal digits"},
        {{"--key", f.key, "--fingerprint", std::string(64, '0'), f.out}, "--key and --fingerprint"},
        {{"--bogus", f.out}, "unknown option"},
        {{f.out, "--key"}, "unknown option or missing value"},
        {{}, "no image given"},
        {{f.out, f.in}, "more than one image given"},
    };
    for (size_t nAt : {0, 31, 63}) { // the stored key's own fingerprint with one digit not hexadecimal
        std::string wrong = f.fingerprint();
        wrong[nAt] = 'x';
        cases.push_back({{"--fingerprint", wrong, f.out}, "--fingerprint must be 64 hexadecimal digits"});
    }
    for (long nSize : {0, 100, 32767}) { // truncated images: how much was read
        std::string cut = f.dir.file(std::to_string(nSize) + ".img");
        write_file(cut, Bytes(f.signedImage.begin(), f.signedImage.begin() + nSize));
        cases.push_back({{cut}, "Image shorter than 32768 bytes (" + std::to_string(nSize) + " read): " + cut + "\n"});
    }
    for (const auto &c : cases) {
        RunResult r = run_verify_tool(c.args);
        EXPECT_EQ(r.status, 2) << c.error;
        EXPECT_EQ(r.err.rfind("verify_tool: " + c.error, 0), 0u) << r.err;
        EXPECT_EQ(r.out, "");
    }
    EXPECT_EQ(run_verify_tool({"--key", f.dir.file("none.key"), f.out}).status, 2);
}

} // namespace
