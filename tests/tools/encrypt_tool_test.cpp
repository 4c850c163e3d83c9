// SPDX-License-Identifier: Apache-2.0
// encrypt_tool as a process: arguments, open, read and write failures.
#include <gtest/gtest.h>

#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

#include "image/image_model.h"
#include "test_support.h"

namespace {

// A complete set of inputs that signs.
struct Files : ToolFiles {
    Bytes image = random_bytes(50000, 61);

    Files()
    {
        write_file(in, image);
        write_file(code, random_bytes(16384, 62));
        write_file(key, key_file(test_key(1024)));
        write_file(comm, key_file(test_key(1017)));
    }
};

TEST(EncryptToolArgs, FewerThanFiveArgumentsPrintUsage)
{
    Files f;
    for (size_t nGiven = 0; nGiven < 5; nGiven++) {
        std::vector<std::string> args = f.args();
        args.resize(nGiven);
        RunResult r = run_encrypt(args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out.rfind("Usage: ", 0), 0u) << r.out;
        EXPECT_NE(r.out.find("in_file out_file code_file rsakey_file rsakey_file_comm"), std::string::npos);
        EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1);
        EXPECT_FALSE(file_exists(f.out));
    }
}

TEST(EncryptToolArgs, ArgumentsAfterTheFifthAreIgnored)
{
    Files f;
    std::vector<std::string> args = f.args();
    ASSERT_EQ(run_encrypt(args).status, 0);
    Bytes first = read_file(f.out);
    args.insert(args.end(), {"/nonexistent/extra", "--request", f.dir.file("r.bin"), "--help", "--"});
    RunResult r = run_encrypt(args);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(read_file(f.out), first);
    EXPECT_EQ(r.err, "encrypt_tool: warning: argument after the five ignored: --request\n"
                     "encrypt_tool: warning: argument after the five ignored: --help\n"
                     "encrypt_tool: warning: argument after the five ignored: --\n");
    EXPECT_FALSE(file_exists(f.dir.file("r.bin")));
}

// Options come before the five arguments: "--" ends them, so that a name
// beginning with "-" is a file; a wrong or doubled option, a request that
// names an input, and a public half that is not one are refused with their
// lines, and out_file (which a request never touches) is as it was.
TEST(EncryptToolArgs, OptionsBeforeTheFiveArguments)
{
    Files f;
    ASSERT_EQ(f.run().status, 0);
    Bytes expected = read_file(f.out);
    std::filesystem::remove(f.out);
    std::string dashed = f.dir.file("-in.img");
    std::filesystem::copy_file(f.in, dashed);
    std::filesystem::current_path(f.dir.path);
    RunResult r = run_encrypt({"--", "-in.img", f.out, f.code, f.key, f.comm});
    std::filesystem::current_path("/");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(read_file(f.out) == expected);
    std::filesystem::remove(f.out);
    std::string pem = f.dir.file("private.pem");
    write_file(pem, Bytes{'-', '-', '-', '-', '-', 'B', 'E', 'G', 'I', 'N', ' ', 'P', 'R', 'I', 'V', 'A', 'T', 'E', ' ',
                          'K', 'E', 'Y', '-', '-', '-', '-', '-', '\n'});
    std::filesystem::create_directory(f.dir.file("sub"));
    std::string zero = f.dir.file("zero.key");
    write_file(zero, Bytes(1656, 0));
    const std::string optionsUsage = "Usage: encrypt_tool [--signing-helper PROGRAM | --request FILE | --signatures "
                                     "FILE] [--] in_file out_file code_file rsakey_file rsakey_file_comm\n";
    struct {
        std::vector<std::string> options;
        std::string keyArg;
        int nStatus;
        std::string out;
        std::string err;
    } cases[] = {
        {{"--version"}, f.key, 0, "encrypt_tool " TOOLS_VERSION "\n", ""},
        {{"--bogus"}, f.key, 1, optionsUsage, "encrypt_tool: unknown option or missing value: --bogus\n"},
        {{"--request", f.dir.file("r.bin"), "--signatures", f.dir.file("s.bin")}, f.key, 1, optionsUsage,
         "encrypt_tool: --signing-helper, --request and --signatures are three ways to sign: give one\n"},
        {{"--request", f.code}, f.key, 1, "Output file is an input file: " + f.code + "\n", ""},
        {{"--request", f.out}, f.key, 1, "Request file is out_file: " + f.out + "\n", ""},
        {{"--request", f.dir.path + "/./out.img"}, f.key, 1,
         "Request file is out_file: " + f.dir.path + "/./out.img\n", ""},
        {{"--request", f.dir.file("sub/out.img")}, f.key, 0, "", ""}, // the same name in another folder
        {{"--request", f.dir.file("r.bin")}, pem, 1, "Key file error: " + pem + "\n",
         "encrypt_tool: a private key, neither a key file nor a PEM RSA public key (key_tool import makes a key "
         "file of it, openssl pkey -pubout its public half)\n"},
        {{"--request", f.dir.file("r.bin")}, zero, 1, "Key file error: " + zero + "\n",
         "encrypt_tool: the key's modulus must be odd and its public exponent odd and at least 3\n"},
    };
    for (const auto &c : cases) {
        std::vector<std::string> args = c.options;
        if (c.options[0] != "--version") {
            args.insert(args.end(), {f.in, f.out, f.code, c.keyArg, f.comm});
        }
        r = run_encrypt(args);
        EXPECT_EQ(r.status, c.nStatus) << c.options[0];
        EXPECT_EQ(r.out, c.out) << c.options[0];
        EXPECT_EQ(r.err, c.err) << c.options[0];
        EXPECT_FALSE(file_exists(f.out)) << c.options[0];
        EXPECT_FALSE(file_exists(f.dir.file("r.bin"))) << c.options[0];
    }
}

// The first file that cannot be opened is named, and out_file is left as it
// was: absent stays absent, a previous image keeps its bytes.
TEST(EncryptToolArgs, OpenErrorsNameTheFileAndLeaveTheOutputAsItWas)
{
    struct {
        int nArg;
        const char *prefix;
    } cases[] = {
        {0, "File open error: "}, {1, "File open error: "}, {2, "File open error: "},
        {3, "File open error: "}, {4, "File open error "},
    };
    for (bool bPrevious : {false, true}) {
        for (const auto &c : cases) {
            Files f;
            Bytes previous = random_bytes(777, 5);
            if (bPrevious) {
                write_file(f.out, previous);
            }
            std::vector<std::string> args = f.args();
            args[static_cast<size_t>(c.nArg)] = f.dir.file("missing/file");
            RunResult r = run_encrypt(args);
            EXPECT_EQ(r.status, 1) << c.nArg;
            EXPECT_EQ(r.out, c.prefix + args[static_cast<size_t>(c.nArg)] + "\n");
            EXPECT_EQ(file_exists(f.out), bPrevious) << c.nArg;
            if (bPrevious) {
                EXPECT_EQ(read_file(f.out), previous) << c.nArg;
            }
            EXPECT_EQ(folder_names(f.dir.path).size(), bPrevious ? 5u : 4u) << "nothing left beside the files";
        }
    }
}

// However the output names an input, the input is refused, not emptied.
TEST(EncryptToolArgs, OutputNamingAnInputIsRefused)
{
    for (int nInput : {0, 2, 3, 4}) {
        for (const char *how : {"same", "dot", "symlink", "hardlink"}) {
            Files f;
            std::vector<std::string> args = f.args();
            std::string target = args[static_cast<size_t>(nInput)];
            Bytes before = read_file(target);
            std::string out = target;
            if (std::string(how) == "dot") {
                out = f.dir.path + "/./" + std::filesystem::path(target).filename().string();
            } else if (std::string(how) == "symlink") {
                out = f.dir.file("link");
                std::filesystem::create_symlink(target, out);
            } else if (std::string(how) == "hardlink") {
                out = f.dir.file("hard");
                std::filesystem::create_hard_link(target, out);
            }
            args[1] = out;
            RunResult r = run_encrypt(args);
            EXPECT_EQ(r.status, 1) << nInput << " " << how;
            EXPECT_EQ(r.out, "Output file is an input file: " + out + "\n");
            EXPECT_EQ(read_file(target), before) << nInput << " " << how;
        }
    }
}

// A folder opens but cannot be read: named, status 1, and no endless loop.
TEST(EncryptToolFaults, FolderAsAnyInputIsAReadError)
{
    for (int nInput : {0, 2, 3, 4}) {
        Files f;
        std::vector<std::string> args = f.args();
        args[static_cast<size_t>(nInput)] = f.dir.path;
        RunResult r = run_encrypt(args, 20);
        EXPECT_EQ(r.status, 1) << nInput;
        EXPECT_EQ(r.out, "File read error: " + f.dir.path + "\n");
        EXPECT_LT(r.seconds, 10.0);
        EXPECT_FALSE(file_exists(f.out));
    }
}

TEST(EncryptToolFaults, FullDeviceIsAWriteError)
{
    Files f;
    std::vector<std::string> args = f.args();
    args[1] = private_device(f.dir.path, "full");
    for (size_t nSize : {size_t{100}, size_t{50000}, size_t{1} << 20}) {
        write_file(f.in, random_bytes(nSize, 71));
        RunResult r = run_encrypt(args);
        EXPECT_EQ(r.status, 1) << nSize;
        EXPECT_EQ(r.out, "File write error: " + args[1] + "\n");
    }
    struct stat st;
    EXPECT_TRUE(stat(args[1].c_str(), &st) == 0 && S_ISCHR(st.st_mode)) << "the device is kept";
}

// An image from a pipe takes the stdio copy and gives the same bytes.
TEST(EncryptToolFaults, PipedImageGivesTheSameOutput)
{
    Files f;
    Bytes image = random_bytes(100000, 81);
    write_file(f.in, image);
    ASSERT_EQ(run_encrypt(f.args()).status, 0);
    Bytes fromFile = read_file(f.out);
    ASSERT_EQ(fromFile.size(), image.size());

    std::string piped = f.dir.file("piped.img");
    std::vector<std::string> argv{ENCRYPT_TOOL_PATH, "/dev/stdin", piped, f.code, f.key, f.comm};
    RunResult r = run_program(argv, 60, std::string(image.begin(), image.end()));
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(read_file(piped), fromFile);

    // Another file system, where the kernel refuses to copy between them.
    if (std::filesystem::is_directory("/dev/shm")) {
        TempDir shm;
        std::string other = "/dev/shm/" + std::filesystem::path(shm.path).filename().string() + ".img";
        r = run_encrypt({f.in, other, f.code, f.key, f.comm});
        EXPECT_EQ(r.status, 0);
        EXPECT_TRUE(read_file(other) == fromFile);
        std::filesystem::remove(other);
    }

    // And a pipe as output.
    std::vector<std::string> toStdout{ENCRYPT_TOOL_PATH, f.in, "/dev/stdout", f.code, f.key, f.comm};
    r = run_program(toStdout);
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(Bytes(r.out.begin(), r.out.end()) == fromFile);
}

// Regress: the example image signed with the example keys has
// the same bytes on every build (their SHA-256 is written here), and an image
// whose block was signed with another key is refused with the example key
// (with --original, whatever that block happens to restore to).
TEST(ExampleRegress, SignedExampleKeepsItsHashAndAForgeryIsRefused)
{
    const std::string ex = EXAMPLES_DIR;
    TempDir dir;
    std::string signedImage = dir.file("signed.img");
    ASSERT_EQ(run_encrypt({ex + "/input.img", signedImage, ex + "/code.bin", ex + "/sign_test.key",
                           ex + "/common_test.key"})
                  .status,
              0);
    Bytes image = read_file(signedImage);
    EXPECT_EQ(model::sha256_hex(image.data(), image.size()),
              "b78377245d44f01197b7d433ea7a29d3feb00a40a1fadf8ec1f231605ef2fcf2");

    // Block 0 replaced by the same plaintext signed with another key.
    Bytes original = read_file(ex + "/input.img");
    Bytes plain(original.begin(), original.begin() + 127);
    const TestKey &other = test_key(1024);
    Bytes forged = image;
    Bytes block = model_modexp(plain, other.d, other.n, 128);
    std::copy(block.begin(), block.end(), forged.begin());
    write_file(dir.file("forged.img"), forged);
    RunResult r = run_verify_tool({"--key", ex + "/sign_test.key", "--original", ex + "/input.img",
                                   dir.file("forged.img")});
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_EQ(run_verify_tool({"--key", ex + "/sign_test.key", "--original", ex + "/input.img", signedImage}).status, 0);
}

} // namespace
