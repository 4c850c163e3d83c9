// SPDX-License-Identifier: Apache-2.0
// Every file the tools write is the previous file or the whole new one: failed,
// interrupted and concurrent runs, modes, links, devices, FIFOs, size limits
// and sparse images, through the processes.
#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <cstring>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "output_file.h"
#include "test_support.h"

namespace {

// Inputs that sign, with a previous image (or none) at out_file.
struct Signing : SigningFiles {
    Bytes previous = random_bytes(5000, 201);

    explicit Signing(size_t nImage = 60000, bool bPrevious = true) : SigningFiles(nImage, 202)
    {
        if (bPrevious) {
            write_file(out, previous);
        }
    }
    // The out_file of a complete run, made in another folder.
    Bytes signed_image() const
    {
        TempDir other;
        EXPECT_EQ(run_encrypt({in, other.file("out.img"), code, key, comm}).status, 0);
        return read_file(other.file("out.img"));
    }
};

// Failures that no single call makes: a folder as image, keys refused, a bad
// sector from the middle of the image on, an existing out_file that may not be
// written (immutable, so that even root may not) refused as opening it was.
TEST(OutputFileFailures, EveryFailureLeavesTheTargetAsItWasAndNothingBeside)
{
    const TestKey &key = test_key(1024);
    BIGNUM *even = BN_dup(key.n);
    BN_clear_bit(even, 0);
    std::string shim = std::string("LD_PRELOAD=") + IO_FAULT_SHIM_PATH;
    const struct {
        const char *why;
        std::vector<std::string> env; // for the fault shim
        int nNamed;                   // argument named by the message
        const char *message;
        Bytes keyFile;                // the signing key file, where not empty
    } cases[] = {
        {"folder as image", {}, 0, "File read error: ", {}},
        {"even signing key", {}, 3, "Key file error: ", key_file(even, key.e, key.d)},
        {"mismatched signing key", {}, 3, "Key file error: ", key_file(key.n, key.e, test_key(1017).d)},
        {"tail read fails, kernel copy", {shim, "IO_FAULT=read:/in.img:40000"}, 0, "File read error: ", {}},
        {"immutable target", {}, 1, "File open error: ", {}},
    };
    for (bool bPrevious : {true, false}) {
        for (const auto &c : cases) {
            if (!c.env.empty() && SANITIZED_BUILD) {
                continue; // the sanitizers' runtime must come first
            }
            Signing s(100000, bPrevious);
            std::vector<std::string> args = s.args();
            if (std::string(c.why) == "folder as image") {
                std::filesystem::create_directory(s.dir.file("folder"));
                args[0] = s.dir.file("folder");
            } else if (!c.keyFile.empty()) {
                write_file(s.key, c.keyFile);
            } else if (std::string(c.why) == "immutable target" &&
                       (!bPrevious || run_program({"/usr/bin/chattr", "+i", s.out}).status != 0)) {
                continue; // no file to refuse, or no immutable files here
            }
            std::vector<std::string> before = folder_names(s.dir.path);
            RunResult r = run_program(env_argv(c.env, {ENCRYPT_TOOL_PATH}, args));
            if (std::string(c.why) == "immutable target") {
                run_program({"/usr/bin/chattr", "-i", s.out});
            }
            EXPECT_EQ(r.status, 1) << c.why;
            EXPECT_EQ(r.out, c.message + args[static_cast<size_t>(c.nNamed)] + "\n") << c.why;
            EXPECT_EQ(file_exists(s.out), bPrevious) << c.why;
            EXPECT_TRUE(!bPrevious || read_file(s.out) == s.previous) << c.why;
            EXPECT_EQ(folder_names(s.dir.path), before) << c.why;
        }
    }
    BN_free(even);
}

// Each way of writing a file runs once with the fault shim logging its file
// calls, then once per call (the first and the last of each call on each of
// its files) with that call failing (EIO, ENOSPC; EINTR where it is retried;
// the end of the file for the image's copy) or with a signal raised at it
// (SIGKILL, SIGTERM; for one way of each tool also SIGINT, SIGHUP and the
// three ignored, as nohup leaves SIGHUP); errno is left stale (ENXIO) by
// every call that goes on. The target is the previous file (or
// none) or the whole new one, status and message are the documented ones, an
// ignored signal changes nothing, and nothing is left beside the target (but
// after SIGKILL a complete temporary file, from its naming to the rename). The
// log itself shows every open of our files with O_CLOEXEC, every file made
// with O_EXCL or nameless, and each file synced after its last write and
// before it is linked or renamed into place.
TEST(OutputFileFailures, EveryCallOfEveryWayFailsOrIsInterruptedCleanly)
{
    if (SANITIZED_BUILD) {
        GTEST_SKIP() << "the sanitizers' runtime must come first";
    }
    Signing s(100000);
    TempDir target; // the target alone
    std::string pem = s.dir.file("key.pem"), request = s.dir.file("req.bin"), image = s.dir.file("signed.img");
    std::string out = target.file("out.img"), log = s.dir.file("log");
    ASSERT_EQ(run_program({"/usr/bin/openssl", "genrsa", "-out", pem, "1024"}).status, 0);
    ASSERT_EQ(run_encrypt({"--request", request, s.in, out, s.code, s.key, s.comm}).status, 0);
    write_file(image, s.signed_image());
    const std::vector<std::string> inputs{s.in, s.code, s.key, s.comm, request, image};
    const std::vector<std::string> sign{ENCRYPT_TOOL_PATH, s.in, out, s.code, s.key, s.comm};
    const std::string shim = std::string("LD_PRELOAD=") + IO_FAULT_SHIM_PATH, named = "IO_FAULT_NO_TMPFILE=1";
    // Beyond EIO, ENOSPC, SIGKILL and SIGTERM at every call: EINTR where a call is retried, the end of the file (0)
    // at the image's copy, and 1000: EIO, and the input's end at the read that blames a side.
    const std::multimap<std::string, int> extraFaults{{"read", EINTR}, {"pread", EINTR}, {"write", EINTR},
        {"pwrite", EINTR}, {"copy_file_range", EINTR}, {"pread", 0}, {"copy_file_range", 0}, {"copy_file_range", 1000}};
    struct Way {
        std::vector<std::string> argv;
        std::string env; // another variable, or the shim again
        bool bPrevious;
        int nLeft;     // SIGKILL may leave: 0 nothing, 1 a complete .si- file, 2 any .si- file
        bool bSignals; // also SIGINT, SIGHUP and the three ignored
    } ways[] = {
        {sign, shim, true, 1, true},
        {sign, shim, false, 1, false},
        {sign, named, true, 2, false},
        {sign, named, false, 2, false},
        {sign, "IO_FAULT_NO_KERNEL_COPY=1", true, 1, false},
        {sign, "IO_FAULT_NO_KERNEL_COPY=1", false, 1, false},
        {{ENCRYPT_TOOL_PATH, "--request", out, s.in, s.dir.file("unused.img"), s.code, s.key, s.comm}, shim, true, 1,
         false},
        {{KEY_TOOL_PATH, "generate", out}, shim, false, 0, false},
        {{KEY_TOOL_PATH, "generate", "--force", out}, shim, true, 1, true},
        {{KEY_TOOL_PATH, "generate", out}, named, false, 2, false},
        {{KEY_TOOL_PATH, "import", "--force", pem, out}, shim, true, 1, false},
        {{KEY_TOOL_PATH, "export", s.key, out}, shim, false, 0, false},
        {{KEY_TOOL_PATH, "sign-request", "--force", request, out, s.key}, shim, true, 1, false},
        {{VERIFY_TOOL_PATH, "--key", s.key, "--original", s.in, "--restore", out, image}, shim, false, 1, true},
        {{VERIFY_TOOL_PATH, "--force", "--restore", out, image}, shim, true, 1, false},
    };
    for (const Way &way : ways) {
        std::string tool = way.argv[0].substr(way.argv[0].rfind('/') + 1);
        std::string prefix = tool == "encrypt_tool" ? "" : tool + ": ";
        std::string what = tool + " " + way.argv[1] + " " + way.env + " " + std::to_string(way.bPrevious);
        bool bEncrypt = prefix.empty(), bRandom = way.argv[1] == "generate"; // a whole key file: its size
        auto run = [&](std::vector<std::string> argv) {
            std::filesystem::remove(out);
            if (way.bPrevious) {
                write_file(out, s.previous);
            }
            argv.insert(argv.end(), {shim, way.env, "IO_FAULT_STALE_ERRNO=" + std::to_string(ENXIO)});
            return run_program(env_argv(argv, way.argv));
        };
        std::filesystem::remove(log);
        ASSERT_EQ(run({"IO_FAULT_LOG=" + log}).status, 0) << what;
        Bytes whole = read_file(out);
        auto is_whole = [&](const Bytes &got) { return bRandom ? got.size() == whole.size() : got == whole; };
        EXPECT_EQ(folder_names(target.path), std::vector<std::string>{"out.img"}) << what;
        EXPECT_TRUE(!bRandom || whole.size() == 1656u) << what;
        struct Call {
            long nIndex;
            std::string name;
            int nFlags;
            unsigned long nInode;
            std::string path;
            bool bInput, bTemp;
        };
        std::ifstream in(log);
        std::map<unsigned long, bool> synced; // by inode: synced since its last write
        std::map<std::string, Call> first, last;
        for (Call c; in >> c.nIndex >> c.name >> c.nFlags >> c.nInode && std::getline(in, c.path);) {
            c.path.erase(0, 1);
            bool bOut = c.path.rfind(target.path, 0) == 0 || c.path.rfind("/proc/self/fd/", 0) == 0;
            c.bInput = std::find(inputs.begin(), inputs.end(), c.path) != inputs.end();
            c.bTemp = bOut && c.path != target.path && c.path != target.path + "/.";
            if (c.name.find("open") != std::string::npos) {
                EXPECT_TRUE(!(bOut || c.bInput) || (c.nFlags & O_CLOEXEC) != 0) << what << ": " << c.path;
                EXPECT_TRUE((c.nFlags & O_CREAT) == 0 || (c.nFlags & O_EXCL) != 0) << what << ": " << c.path;
            }
            bool bSync = c.name.find("sync") != std::string::npos;
            if (bSync || c.name.find("write") != std::string::npos || c.name.find("trunc") != std::string::npos ||
                c.name == "copy_file_range") {
                synced[c.nInode] = bSync;
            }
            EXPECT_TRUE(synced[c.nInode] || (c.name != "linkat" && c.name != "renameat")) << what << ": " << c.path;
            if ((bOut || c.bInput) && c.name != "unlinkat") {
                first.emplace(c.name + (c.bTemp ? "" : c.path), c);
                last[c.name + (c.bTemp ? "" : c.path)] = c;
            }
        }
        std::map<long, Call> points;
        for (const auto &[key, c] : first) {
            points.emplace(c.nIndex, c);
            points.emplace(last[key].nIndex, last[key]);
        }
        for (const auto &[nIndex, c] : points) {
            std::vector<int> faults{EIO, ENOSPC, -SIGKILL, -SIGTERM};
            for (auto [it, end] = extraFaults.equal_range(c.name); it != end; ++it) {
                faults.push_back(it->second);
            }
            if (way.bSignals) { // below -100: ignored
                faults.insert(faults.end(), {-SIGINT, -SIGHUP, -100 - SIGINT, -100 - SIGTERM, -100 - SIGHUP});
            }
            for (int nWhat : faults) {
                int nSignal = nWhat < -100 ? -nWhat - 100 : std::max(-nWhat, 0);
                bool bShrank = nWhat == 0 || nWhat == 1000;
                std::string at = "IO_FAULT_AT=" + std::to_string(nIndex) + ":" +
                                 (nWhat == 1000 ? std::to_string(EIO) + "," + std::to_string(nIndex + 1) + ":0"
                                                : std::to_string(std::max(nWhat, -nSignal)));
                RunResult r = run(nWhat < -100 ? std::vector<std::string>{"--ignore-signal=" + std::to_string(nSignal), at}
                                               : std::vector<std::string>{at});
                Bytes got = read_file(out);
                bool bOld = way.bPrevious ? got == s.previous : !file_exists(out);
                bool bWhole = file_exists(out) && is_whole(got);
                std::string where = what + ": " + c.name + " " + c.path + " " + at + " " + r.out + r.err;
                EXPECT_TRUE(bOld || bWhole) << where;
                for (const std::string &name : folder_names(target.path)) {
                    bool bMay = way.nLeft == 2 || (way.nLeft == 1 && is_whole(read_file(target.file(name))));
                    EXPECT_TRUE(name == "out.img" || (nSignal == SIGKILL && bMay)) << where << ": left " << name;
                    std::filesystem::remove(target.file(name)); // out.img too: each run makes its own
                }
                if (nSignal != 0) {
                    EXPECT_EQ(r.nSignal, nWhat < -100 ? 0 : nSignal) << where;
                    EXPECT_TRUE(nWhat > -100 || (r.status == 0 && bWhole)) << where;
                    continue;
                }
                // fchown keeps what it can; a file that was only read may be closed without a check;
                // encrypt_tool's first pread of in_file looks for a block table to warn of, and a
                // failed look warns of nothing.
                bool bClose = c.name.find("close") != std::string::npos;
                bool bLook = bEncrypt && c.name == "pread" && c.path == s.in && nIndex == first["pread" + s.in].nIndex;
                if ((c.name == "fchown" || nWhat == EINTR || bLook || (bClose && !c.bTemp)) &&
                    (r.status == 0 || !(bClose && c.bInput))) {
                    EXPECT_TRUE(r.status == 0 && bWhole) << where;
                    continue;
                }
                EXPECT_EQ(r.status, bEncrypt ? 1 : 2) << where;
                EXPECT_TRUE(bOld && (bEncrypt || r.out.empty())) << where;
                std::string message = bEncrypt ? r.out : r.err;
                EXPECT_NE(message.find(bShrank ? (bEncrypt ? s.in : image) : c.bInput ? c.path : out), std::string::npos)
                    << where;
                EXPECT_TRUE(!bShrank || (r.out + r.err).find("the file shrank while it was copied") != std::string::npos)
                    << where;
                EXPECT_TRUE(nWhat != ENOSPC || (r.out + r.err).find(strerror(ENOSPC)) != std::string::npos) << where;
                std::vector<std::string> prefixes{c.name == "open" && bEncrypt && way.argv[1] != "--request" ? "File open error: "
                                                                                                    : "File write error: "};
                if (c.bInput || bShrank) {
                    prefixes = {"File open error", "File read error: ", "Image missing, unreadable"};
                }
                EXPECT_TRUE(std::any_of(prefixes.begin(), prefixes.end(),
                                        [&](const std::string &p) { return message.rfind(prefix + p, 0) == 0; }))
                    << where;
            }
        }
    }
}

// A complete run replaces the image exactly, keeps the mode of the file it
// replaces (set-user-ID and set-group-ID only where its owner and group are
// kept) and a symbolic link as a link; a new file gets 0666 less the umask.
TEST(OutputFileSuccess, ReplacesExactlyKeepingModeAndLinks)
{
    Signing s;
    Bytes expected = s.signed_image();
    struct stat st;
    const struct {
        mode_t nBefore;
        uid_t nOwner;    // of the replaced file (and its group)
        bool bOtherUser; // run by nobody, replacing root's file: owner and group cannot be kept
        mode_t nAfter;
    } modes[] = {{0640, 0, false, 0640}, {0755, 0, false, 0755}, {06755, 0, false, 06755},
                 {06755, 65534, false, 06755}, {06666, 0, true, 0666}};
    const std::vector<std::string> asOther{"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
    const std::vector<std::string> probe{"/bin/sh", "-c", "test -x \"$0\" && test -r \"$1\"", ENCRYPT_TOOL_PATH, s.in};
    chmod(s.dir.path.c_str(), 0777);
    // Only root can run the tool as another user, who must reach the build.
    bool bOtherRuns = geteuid() == 0 && run_program(env_argv({}, asOther, probe)).status == 0;
    for (const auto &m : modes) {
        if ((m.bOtherUser && !bOtherRuns) || (m.nOwner != 0 && geteuid() != 0)) {
            continue; // only root gives a file away
        }
        write_file(s.out, s.previous);
        if (geteuid() == 0) {
            ASSERT_EQ(chown(s.out.c_str(), m.nOwner, m.nOwner), 0);
        }
        chmod(s.out.c_str(), m.nBefore);
        chmod(s.dir.path.c_str(), m.bOtherUser ? 0777 : 0700);
        std::vector<std::string> argv = s.args();
        argv.insert(argv.begin(), ENCRYPT_TOOL_PATH);
        argv.insert(argv.begin(), asOther.begin(), m.bOtherUser ? asOther.end() : asOther.begin());
        ASSERT_EQ(run_program(argv).status, 0) << std::oct << m.nBefore;
        EXPECT_EQ(read_file(s.out), expected);
        ASSERT_EQ(stat(s.out.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, m.nAfter) << std::oct << m.nBefore;
        EXPECT_EQ(st.st_uid, m.bOtherUser ? 65534 : (m.nOwner != 0 ? m.nOwner : geteuid())) << std::oct << m.nBefore;
    }
    chmod(s.dir.path.c_str(), 0700);

    TempDir elsewhere;
    std::string pointed = elsewhere.file("real.img");
    write_file(pointed, s.previous);
    std::string link = s.dir.file("link.img");
    std::filesystem::create_symlink(pointed, link);
    std::vector<std::string> args = s.args();
    args[1] = link;
    ASSERT_EQ(run_encrypt(args).status, 0);
    EXPECT_TRUE(std::filesystem::is_symlink(link));
    EXPECT_EQ(read_file(pointed), expected);
    EXPECT_EQ(folder_names(elsewhere.path), std::vector<std::string>{"real.img"});

    // A chain of 40 links is followed, as the kernel follows it; 41 are a loop.
    std::string chain = elsewhere.file("chain");
    std::filesystem::create_directory(chain);
    for (int nLinks : {40, 41}) {
        for (int i = 0; i < nLinks; i++) {
            std::string from = chain + "/l" + std::to_string(i);
            std::filesystem::remove(from);
            std::filesystem::create_symlink(i + 1 < nLinks ? "l" + std::to_string(i + 1) : pointed, from);
        }
        args[1] = chain + "/l0";
        RunResult r = run_encrypt(args);
        RunResult shell = run_program({"/bin/sh", "-c", ": >> \"$0\"", args[1]});
        EXPECT_EQ(r.status, nLinks == 40 ? 0 : 1) << nLinks << " links";
        EXPECT_EQ(shell.status == 0, r.status == 0) << nLinks << " links, as the shell";
    }
    args[1] = link;

    // A dangling link makes the file it names; a name of 255 bytes works.
    std::filesystem::remove(pointed);
    ASSERT_EQ(run_encrypt(args).status, 0);
    EXPECT_EQ(read_file(pointed), expected);
    args[1] = s.dir.file(std::string(255, 'n'));
    const std::vector<std::string> umask027{"/bin/sh", "-c", "umask 027; exec \"$0\" \"$@\"", ENCRYPT_TOOL_PATH};
    ASSERT_EQ(run_program(env_argv({}, umask027, args)).status, 0);
    ASSERT_EQ(stat(args[1].c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(read_file(args[1]), expected);

    // A path as long as a path may be: the hidden temporary file is named
    // from the target's folder, so its name always fits.
    std::string deep = s.dir.path;
    while (deep.size() + 1 + 255 < PATH_MAX - 1) {
        deep += "/" + std::string(200, 'd');
        ASSERT_EQ(mkdir(deep.c_str(), 0700), 0);
    }
    args[1] = deep + "/" + std::string(PATH_MAX - 2 - deep.size(), 'n');
    ASSERT_EQ(args[1].size(), size_t{PATH_MAX - 1});
    if (!SANITIZED_BUILD) {
        RunResult r = run_program(
            env_argv({"LD_PRELOAD=" IO_FAULT_SHIM_PATH, "IO_FAULT_NO_TMPFILE=1"}, {ENCRYPT_TOOL_PATH}, args));
        EXPECT_EQ(r.status, 0) << r.out;
        EXPECT_EQ(read_file(args[1]), expected);
    }
    // One byte more is no path: refused before anything is copied (under
    // the sanitizers, without a byte written past the name's buffer).
    args[1] += "n";
    RunResult tooLong = run_encrypt(args);
    EXPECT_EQ(tooLong.status, 1);
    EXPECT_EQ(tooLong.out.rfind("File open error", 0), 0u) << tooLong.out;
}

// fs.protected_symlinks set to 1 for one test, and put back after it.
struct ProtectedSymlinks {
    const char *pPath = "/proc/sys/fs/protected_symlinks";
    std::string old;
    bool bSet = false;
    ProtectedSymlinks()
    {
        std::ifstream(pPath) >> old;
        std::ofstream out(pPath);
        bSet = !old.empty() && (out << "1" << std::flush).good();
    }
    ~ProtectedSymlinks()
    {
        if (bSet) {
            std::ofstream(pPath) << old;
        }
    }
};

// The three tools write through a symbolic link only where the kernel follows
// it: a link that another user planted in a sticky, world-writable folder is
// refused as the last name (dangling or not), as the shell's own redirection
// is; links of the caller or of the folder's owner, links in ordinary
// folders, and links to folders on the way (which the kernel follows) are
// followed, relative ones from the link's own folder.
TEST(OutputFileLinks, FollowedOnlyWhereTheKernelWould)
{
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root, to make links that another user owns";
    }
    ProtectedSymlinks sysctl;
    if (!sysctl.bSet) {
        GTEST_SKIP() << "fs.protected_symlinks cannot be set here";
    }
    constexpr uid_t OTHER = 65534;
    Signing s;
    std::string signedImage = s.dir.file("signed.img");
    write_file(signedImage, s.signed_image());
    const struct {
        const char *why;
        mode_t nFolderMode;
        uid_t nFolderOwner;
        uid_t nLinkOwner;
        bool bRelative;   // the link reads "real.out", in its own folder
        bool bDangling;   // the file the link names does not exist yet
        bool bFolderLink; // the link names a folder that holds the target
        bool bFollowed;
    } cases[] = {
        {"planted in a shared folder", 01777, 0, OTHER, false, false, false, false},
        {"planted, dangling", 01777, 0, OTHER, false, true, false, false},
        {"planted, to a folder on the way", 01777, 0, OTHER, false, false, true, true},
        {"ours in a shared folder", 01777, 0, 0, false, false, false, true},
        {"the shared folder's owner's, dangling", 01777, OTHER, OTHER, false, true, false, true},
        {"another user's in an ordinary folder", 0755, 0, OTHER, true, false, false, true},
        {"relative and dangling", 0755, 0, 0, true, true, false, true},
    };
    for (const auto &c : cases) {
        TempDir root;
        std::string folder = root.file("shared");
        std::string realFolder = root.file("real");
        ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
        ASSERT_EQ(mkdir(realFolder.c_str(), 0700), 0);
        ASSERT_EQ(chmod(folder.c_str(), c.nFolderMode), 0);
        ASSERT_EQ(chown(folder.c_str(), c.nFolderOwner, c.nFolderOwner), 0);
        std::string link = folder + "/link";
        std::string target = c.bRelative ? folder + "/real.out" : realFolder + "/real.out";
        ASSERT_EQ(symlink(c.bRelative ? "real.out" : (c.bFolderLink ? realFolder : target).c_str(), link.c_str()), 0);
        ASSERT_EQ(lchown(link.c_str(), c.nLinkOwner, c.nLinkOwner), 0);
        std::string path = c.bFolderLink ? link + "/real.out" : link;
        const std::vector<std::string> tools[] = {
            {"/bin/sh", "-c", ": >> \"$0\"", path},
            {ENCRYPT_TOOL_PATH, s.in, path, s.code, s.key, s.comm},
            {KEY_TOOL_PATH, "generate", c.bDangling ? "--bits=1024" : "--force", path},
            {VERIFY_TOOL_PATH, "--force", "--restore", path, signedImage},
        };
        for (const std::vector<std::string> &argv : tools) {
            std::filesystem::remove(target);
            if (!c.bDangling) {
                write_file(target, s.previous);
            }
            RunResult r = run_program(argv);
            std::string what = std::string(c.why) + ", " + argv[0];
            EXPECT_EQ(r.status == 0, c.bFollowed) << what << ": " << r.out << r.err;
            if (!c.bFollowed) {
                EXPECT_EQ(file_exists(target), !c.bDangling) << what;
                EXPECT_TRUE(c.bDangling || read_file(target) == s.previous) << what;
                EXPECT_TRUE(argv[0] != ENCRYPT_TOOL_PATH || r.out == "File open error: " + path + "\n") << what;
            } else if (argv[0] != "/bin/sh") {
                EXPECT_NE(read_file(target), s.previous) << what;
            }
            EXPECT_TRUE(std::filesystem::is_symlink(link)) << what;
        }
    }
}

// Every way through output_check, output_open, output_commit and
// output_abort, in this process, leaves no descriptor open: a new file, a
// replaced one, one through links, one refused at the open (a loop of links,
// a folder, a socket, a /proc/self/fd link to an open file that has been
// deleted, which reads as its old name and " (deleted)" and makes no file of
// that name), a spooled FIFO, and a write that fails. output_write_file
// refuses what output_open refuses, with the same status.
TEST(OutputFileFailures, NoDescriptorLeftOpen)
{
    TempDir dir;
    std::string fifo = dir.file("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    int fdReader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC); // so that opening it to write works
    std::filesystem::create_symlink("loop.b", dir.file("loop.a"));
    std::filesystem::create_symlink("loop.a", dir.file("loop.b"));
    std::filesystem::create_symlink("new.img", dir.file("link.img"));
    std::string socketPath = dir.file("socket");
    ASSERT_EQ(mknod(socketPath.c_str(), S_IFSOCK | 0600, 0), 0);
    write_file(dir.file("old.img"), Bytes(10, 1));
    std::string full = private_device(dir.path, "full");
    std::string block = dir.file("block"); // never opened
    if (mknod(block.c_str(), S_IFBLK | 0600, makedev(7, 200)) != 0) {
        block.clear();
    }
    TempDir goneDir;
    int fdGone = open(goneDir.file("gone.img").c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0600);
    ASSERT_GE(fdGone, 0);
    ASSERT_EQ(unlink(goneDir.file("gone.img").c_str()), 0);
    struct {
        std::string path;
        unsigned nFlags;
        int nOpen;     // what output_open returns
        bool bCommit;  // else output_abort
    } cases[] = {
        {dir.file("new.img"), OUTPUT_REPLACE, OUTPUT_OK, true},
        {dir.file("old.img"), OUTPUT_REPLACE, OUTPUT_OK, true},
        {dir.file("link.img"), OUTPUT_REPLACE, OUTPUT_OK, true},
        {dir.file("link.img"), OUTPUT_NO_CLOBBER, OUTPUT_EXISTS, false},
        {dir.file("old.img"), OUTPUT_REPLACE, OUTPUT_OK, false},
        {dir.file("loop.a"), OUTPUT_REPLACE, OUTPUT_OPEN_FAILED, false},
        {dir.path, OUTPUT_REPLACE, OUTPUT_OPEN_FAILED, false},
        {socketPath, OUTPUT_REPLACE, OUTPUT_OPEN_FAILED, false},
        {"/proc/self/fd/" + std::to_string(fdGone), OUTPUT_REPLACE, OUTPUT_OPEN_FAILED, false},
        {fifo, OUTPUT_REPLACE | OUTPUT_SPOOL, OUTPUT_OK, true},
        {full, OUTPUT_REPLACE, OUTPUT_OK, true},
        // What holds data is kept; what holds none is written in place.
        {dir.file("old.img"), OUTPUT_KEEP_DATA, OUTPUT_EXISTS, false},
        {block, OUTPUT_KEEP_DATA, block.empty() ? OUTPUT_OPEN_FAILED : OUTPUT_EXISTS, false},
        {fifo, OUTPUT_KEEP_DATA, OUTPUT_OK, true},
        {dir.path, OUTPUT_KEEP_DATA, OUTPUT_OPEN_FAILED, false},
    };
    int nBefore = open_descriptor_count();
    for (const auto &c : cases) {
        output_check(c.path.c_str(), c.nFlags); // the look before the work, too
        const unsigned char *pData = reinterpret_cast<const unsigned char *>("x");
        int nWrite = c.nOpen == OUTPUT_OK ? OUTPUT_OK : output_write_file(c.path.c_str(), pData, 1, c.nFlags);
        EXPECT_EQ(nWrite, c.nOpen) << c.path;
        EXPECT_EQ(open_descriptor_count(), nBefore) << c.path;
        OutputFile out;
        ASSERT_EQ(output_open(&out, c.path.c_str(), c.nFlags), c.nOpen) << c.path;
        // A failed open, and a commit, leave nothing to abort.
        if (c.nOpen == OUTPUT_OK && c.bCommit && write_all(out.fd, "signed", 6)) {
            EXPECT_EQ(output_commit(&out), OUTPUT_OK) << c.path;
        } else if (c.nOpen == OUTPUT_OK) {
            // /dev/full takes nothing: the write fails, and the file is dropped.
            EXPECT_TRUE(!c.bCommit || c.path == full) << c.path;
            output_abort(&out);
        }
        EXPECT_EQ(open_descriptor_count(), nBefore) << c.path;
        output_abort(&out); // safe after a commit or a failed open
    }
    EXPECT_EQ(read_file(dir.file("new.img")), (Bytes{'s', 'i', 'g', 'n', 'e', 'd'}));
    EXPECT_EQ(folder_names(goneDir.path), std::vector<std::string>{});
    close(fdReader);
    close(fdGone);
}

// Devices and FIFOs are written in place and never removed; a full device, a
// reader that leaves and a file size limit are write errors, not deaths by
// signal.
TEST(OutputFileInPlace, DevicesFifosAndLimits)
{
    Signing s(1 << 20);
    Bytes expected = s.signed_image();
    std::vector<std::string> args = s.args();
    Bytes image = read_file(s.in);
    // A device that takes all, and one that is always full, both made here:
    // written in place and kept, for images of every copy's size.
    for (const std::string name : {"null", "full"}) {
        args[1] = private_device(s.dir.path, name);
        for (size_t nSize : {size_t{0}, size_t{100}, size_t{50000}, size_t{1} << 20}) { // 0: s's own image
            write_file(s.in, nSize == 0 ? image : random_bytes(nSize, 71));
            RunResult r = run_encrypt(args);
            EXPECT_EQ(r.status, name == "full" ? 1 : 0) << name << " " << nSize;
            EXPECT_EQ(r.out, name == "full" ? "File write error: " + args[1] + "\n" : "") << name << " " << nSize;
        }
        write_file(s.in, image);
        EXPECT_TRUE(name == "null" || run_program({VERIFY_TOOL_PATH, "--restore", args[1], s.out}).status == 2);
        EXPECT_TRUE(std::filesystem::is_character_file(args[1])) << name << ": the device is kept";
    }

    std::string fifo = s.dir.file("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    args[1] = fifo;
    for (bool bReaderLeaves : {false, true}) {
        FifoReader reader(fifo, bReaderLeaves ? 50000 : SIZE_MAX);
        RunResult r = run_encrypt(args);
        Bytes got = reader.finish();
        EXPECT_EQ(r.status, bReaderLeaves ? 1 : 0);
        EXPECT_EQ(r.out, bReaderLeaves ? "File write error: " + fifo + "\n" : "");
        EXPECT_TRUE(bReaderLeaves || got == expected);
        EXPECT_TRUE(file_exists(fifo));
    }

    // The tool itself ignores SIGXFSZ: the limit is a write error.
    std::string limited = "ulimit -f 128; exec \"$0\" \"$@\"";
    for (bool bPiped : {false, true}) {
        std::vector<std::string> argv{"/bin/sh", "-c", limited, ENCRYPT_TOOL_PATH, bPiped ? "/dev/stdin" : s.in,
                                      s.out, s.code, s.key, s.comm};
        RunResult r = run_program(argv, 60, bPiped ? std::string(image.begin(), image.end()) : "");
        EXPECT_EQ(r.status, 1) << bPiped;
        EXPECT_EQ(r.out, "File write error: " + s.out + "\n") << bPiped;
        EXPECT_EQ(read_file(s.out), s.previous) << bPiped;
    }
}

// Signals at random moments of signing a large image, and of restoring it,
// leave the previous or the whole new file, and only SIGKILL a stray hidden
// temporary file (which holds no key).
TEST(OutputFileInterrupts, SignalsLeaveThePreviousOrTheWholeImage)
{
    Signing s(SANITIZED_BUILD ? 16 << 20 : 64 << 20); // a run under the sanitizers is six times slower
    Bytes expected = s.signed_image();
    std::vector<std::string> argv = s.args();
    argv.insert(argv.begin(), ENCRYPT_TOOL_PATH);
    int nRunMicros = static_cast<int>(run_program(argv).seconds * 1e6);
    std::mt19937 gen(20261207);
    int nTries = 0, nBad = 0;
    // Half the tries write a named temporary file, as on a file system without
    // nameless files: the signal handler must remove it.
    std::vector<std::string> named = env_argv({"LD_PRELOAD=" IO_FAULT_SHIM_PATH, "IO_FAULT_NO_TMPFILE=1"}, argv);
    for (int nSignal : {SIGKILL, SIGINT, SIGTERM}) {
        for (int i = 0; i < 16; i++) {
            write_file(s.out, s.previous);
            int pid = spawn_program(i % 2 == 1 && !SANITIZED_BUILD ? named : argv);
            std::this_thread::sleep_for(std::chrono::microseconds(gen() % (nRunMicros + 1)));
            kill(pid, nSignal);
            int status = wait_program(pid);
            Bytes got = read_file(s.out);
            bool bWhole = got == s.previous || got == expected;
            nTries++;
            nBad += bWhole ? 0 : 1;
            EXPECT_TRUE(bWhole) << "signal " << nSignal << " try " << i;
            // Ended by the signal itself, or done before it came.
            EXPECT_TRUE(WIFSIGNALED(status) ? WTERMSIG(status) == nSignal
                                            : WIFEXITED(status) && WEXITSTATUS(status) == 0)
                << "signal " << nSignal << " try " << i << ": wait status " << status;
            for (const std::string &name : folder_names(s.dir.path)) {
                if (name.rfind(".si-", 0) == 0) {
                    EXPECT_EQ(nSignal, SIGKILL) << "stray " << name;
                    std::filesystem::remove(s.dir.file(name));
                }
            }
            EXPECT_EQ(folder_names(s.dir.path).size(), 5u);
        }
    }
    printf("interrupted signing runs: %d tries, %d left anything but the previous or the whole image\n", nTries,
           nBad);
}

// Two runs on one out_file each leave a whole image; the last rename wins.
TEST(OutputFileConcurrency, TwoRunsLeaveOneWholeImage)
{
    Signing a(3 << 20);
    Signing b(3 << 20);
    write_file(b.in, random_bytes(3 << 20, 999));
    Bytes fromA = a.signed_image();
    Bytes fromB = b.signed_image();
    for (int i = 0; i < 10; i++) {
        int pidA = spawn_program({ENCRYPT_TOOL_PATH, a.in, a.out, a.code, a.key, a.comm});
        int pidB = spawn_program({ENCRYPT_TOOL_PATH, b.in, a.out, b.code, b.key, b.comm});
        EXPECT_EQ(wait_program(pidA), 0);
        EXPECT_EQ(wait_program(pidB), 0);
        Bytes got = read_file(a.out);
        EXPECT_TRUE(got == fromA || got == fromB) << "try " << i;
    }
}

// Holes in the image stay holes: no more blocks than cp's copy.
TEST(OutputFileSparse, HolesStayHoles)
{
    Signing s(0);
    write_file(s.in, random_bytes(32768, 301));
    ASSERT_EQ(truncate(s.in.c_str(), 96 << 20), 0);
    Bytes middle = random_bytes(8192, 302);
    int fd = open(s.in.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_EQ(pwrite(fd, middle.data(), middle.size(), 40 << 20), 8192);
    close(fd);
    struct stat inStat;
    ASSERT_EQ(stat(s.in.c_str(), &inStat), 0);
    if (inStat.st_blocks * 512 > (1 << 20)) {
        GTEST_SKIP() << "this file system keeps no holes";
    }
    ASSERT_EQ(s.run().status, 0);
    std::string cpCopy = s.dir.file("cp.img");
    ASSERT_EQ(run_program({"/bin/cp", "--sparse=auto", s.in, cpCopy}).status, 0);
    struct stat outStat, cpStat;
    ASSERT_EQ(stat(s.out.c_str(), &outStat), 0);
    ASSERT_EQ(stat(cpCopy.c_str(), &cpStat), 0);
    EXPECT_EQ(outStat.st_size, inStat.st_size);
    EXPECT_LE(outStat.st_blocks, cpStat.st_blocks);
    Bytes out = read_file(s.out);
    Bytes in = read_file(s.in);
    EXPECT_TRUE(std::equal(out.begin() + 32768, out.end(), in.begin() + 32768));
}

} // namespace
