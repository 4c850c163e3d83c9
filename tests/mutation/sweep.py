#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""The mutation sweep: break product lines on purpose and see a test fail.

For every product file it makes small mutants (a comparison flipped or
loosened, && and || swapped, an if condition negated, true and false swapped,
a call statement dropped), builds each in a copy of the tree of its own and
runs the tests of the file's part (CTest labels, see tests/CMakeLists.txt). A
mutant that builds and passes those tests has survived. Survivors listed in
tests/mutation/equivalent.txt (with the reason they cannot be told apart) are
counted as equivalent, not as survivors.

usage (from the project root; make mutate runs it):
  tests/mutation/sweep.py [--per-file N] [--jobs J] [--only PATTERN] [--out DIR]
    --per-file N  mutants per file at most, spread evenly over its candidates
                  (default 14; 0 means all)
    --jobs J      copies of the tree built and tested side by side (default 2)
    --only RE     only the files whose path matches RE
    --out DIR     where the copies, the log and report.md go (default build-mutate)
    --again LOG   again only the mutants that survived in LOG (an earlier
                  run's log.txt, or that it lacks), as after adding the tests
                  that should kill them; the report keeps LOG's other verdicts
"""
import argparse, concurrent.futures, os, re, shutil, subprocess, sys, threading, time

# Each part's folder and the labels whose tests check its mutants.
PARTS = {
    "encrypt": "encrypt",
    "image": "image",
    "files": "files",
    "token": "token",
    # Where a key lives is tested through the ways of signing (the image tool's
    # tests, and the table of ways beside the token's) as much as by its own; a
    # key file's exponents on an image whose blocks prove nothing, by the image's.
    "signing": "signing|tools|token|image",
    "tools": "tools",
    # What the tools' mains and key_tool's allocator promise (no core, no secret
    # left, signals, descriptors) is tested by the tables of secrets and faults.
    "companion": "companion|files",
}
# Files whose behaviour is also checked through other parts' tables.
FILE_LABELS = {
    "encrypt/rsa_block.cpp": "encrypt|image",
    "tools/block_table.h": "image|tools",
    "encrypt/byte_order.h": "encrypt|image|signing|tools",
    # The mains also name their tool in the token's warnings (token's table of
    # URIs) and keep descriptors 0 to 2 (the image tool's descriptor table).
    "tools/encrypt_tool_main.cpp": "tools|files|token",
    "companion/verify_tool_main.cpp": "companion|files|tools|token",
    # OpenSSL's objects freed and a shown URI's text: memcheck's runs.
    "companion/key_tool.cpp": "companion|files|tools|token|memcheck",
    "token/token_uri.cpp": "token|memcheck",
    # The registers a PEM's decoding leaves: the secrets' register table.
    "companion/key_io.cpp": "companion|files",
    # The end of a helper's group is tested with the helpers (the ways of
    # signing, and the token's table of ways), the spool with verify_tool's
    # restore into a FIFO; descriptors 0 to 2 with the image tool.
    "files/output_file.cpp": "files|token|signing|companion",
    "files/process_secrets.cpp": "files|tools",
    # An input cut short during the copy: the image tool's faults.
    "files/file_copy.cpp": "files|tools",
    # Key files and public halves are what key_tool makes, shows and exports,
    # and what verify_tool trusts (the companions' tables); a key file's read
    # leaves no exponent behind and fails cleanly (the secrets' and the faults'
    # tables).
    "signing/key_file.cpp": "signing|tools|token|companion|files",
    "signing/public_key.cpp": "signing|tools|token|companion|files|memcheck",
    # The image tool's keys, and a PIN read, kept and forgotten, are looked for
    # in the cores of the secrets' table; the faults' table checks the reasons.
    "tools/encrypt_tool.cpp": "tools|files",
    "token/token_pin.cpp": "token|files",
    "token/token_session.cpp": "token|files",
}
# Headers with code in them; other headers only declare.
CODE_HEADERS = {"tools/block_table.h", "encrypt/byte_order.h"}

OPS = [  # (pattern, replacement, what), one occurrence at a time
    (r" == ", " != ", "== to !="), (r" != ", " == ", "!= to =="),
    (r" < ", " <= ", "< to <="), (r" <= ", " < ", "<= to <"),
    (r" > ", " >= ", "> to >="), (r" >= ", " > ", ">= to >"),
    (r" && ", " || ", "&& to ||"), (r" \|\| ", " && ", "|| to &&"),
    (r"\breturn true;", "return false;", "true to false"), (r"\breturn false;", "return true;", "false to true"),
]
CALL = re.compile(r"^\s*(?:\(void\)\s*)?[A-Za-z_][\w:.>-]*\s*\(.*\)\s*;\s*(//.*)?$")
IF = re.compile(r"^(\s*(?:\}\s*else\s+)?if\s*\()(.*)(\)\s*\{?\s*)$")
SKIP = re.compile(r"^\s*(//|/\*|\*|#|static_assert|assert\b|constexpr\s+\w+\s+\w+\s*=)")


def product_files(only):
    out = subprocess.run(["git", "ls-files"] + [p + "/" for p in PARTS], capture_output=True, text=True,
                         check=True).stdout.split()
    files = [f for f in out if f.endswith(".cpp") or f in CODE_HEADERS]
    return [f for f in files if not only or re.search(only, f)]


def mutants_of(path):
    src = open(path).read().split("\n")
    found = []
    for i, line in enumerate(src, 1):
        if SKIP.match(line) or not line.strip():
            continue
        for pat, rep, what in OPS:
            for m in re.finditer(pat, line):
                found.append((i, line[:m.start()] + re.sub(pat, rep, m.group(0)) + line[m.end():], what))
        m = IF.match(line)
        if m:
            found.append((i, "%s!(%s)%s" % (m.group(1), m.group(2), m.group(3)), "condition negated"))
        if CALL.match(line) and not re.match(r"^\s*return\b", line):
            found.append((i, "", "call dropped"))
    return src, found


def spread(items, n):
    if n <= 0 or len(items) <= n:
        return items
    return [items[(k * len(items)) // n] for k in range(n)]


def equivalents():
    """(file, original line, mutated line) -> reason, from equivalent.txt."""
    known = {}
    path = os.path.join(os.path.dirname(__file__), "equivalent.txt")
    if not os.path.exists(path):
        return known
    block = []
    for raw in open(path).read().split("\n") + [""]:
        if raw.startswith("#"):
            continue
        if raw.strip():
            block.append(raw)
            continue
        if len(block) >= 4 and block[1].startswith("- ") and block[2].startswith("+ "):
            known[(block[0].strip(), block[1][2:].strip(), block[2][2:].strip())] = " ".join(block[3:]).strip()
        block = []
    return known


def run(cmd, cwd, timeout):
    try:
        return subprocess.run(cmd, cwd=cwd, shell=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                              timeout=timeout, start_new_session=True).returncode
    except subprocess.TimeoutExpired:
        return -1


class Worker:
    """A copy of the tree with a build of its own."""

    def __init__(self, out, n):
        self.src = os.path.join(out, "w%d" % n, "src")
        self.build = os.path.join(out, "w%d" % n, "build")
        if os.path.exists(self.src):
            shutil.rmtree(self.src)
        os.makedirs(self.src)
        files = subprocess.run(["git", "ls-files", "-z"], capture_output=True, check=True).stdout
        subprocess.run(["tar", "--null", "-T", "-", "-cf", "-"], input=files, check=True,
                       stdout=open(os.path.join(out, "w%d.tar" % n), "wb"))
        subprocess.run(["tar", "-xf", os.path.join(out, "w%d.tar" % n), "-C", self.src], check=True)
        os.unlink(os.path.join(out, "w%d.tar" % n))
        # Optimised as make check builds, without debug information, which
        # only slows the links.
        subprocess.run("cmake -S %s -B %s -DCMAKE_BUILD_TYPE=RelWithDebInfo "
                       "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO='-O2 -DNDEBUG' -DCMAKE_C_FLAGS_RELWITHDEBINFO='-O2 -DNDEBUG' "
                       ">/dev/null" % (self.src, self.build), shell=True, check=True)
        if run("cmake --build %s -j1" % self.build, self.src, 3600) != 0:
            sys.exit("sweep: the unmutated tree does not build in %s" % self.build)

    def try_mutant(self, path, src, line_no, new_line, labels):
        target = os.path.join(self.src, path)
        mutated = list(src)
        mutated[line_no - 1] = new_line
        open(target, "w").write("\n".join(mutated))
        try:
            # A part's tests have a program of their own; memcheck's run the tools.
            targets = " ".join("tests_" + label for label in labels.split("|") if label in PARTS)
            if run("cmake --build %s -j1 --target %s" % (self.build, targets), self.src, 1800) != 0:
                return "did not build"
            status = run("ctest --test-dir %s -L '^(%s)$' -E 'Package|Layout|Docs' --stop-on-failure "
                         "--timeout 120 -j1" % (self.build, labels), self.src, 3600)
            return "survived" if status == 0 else "killed"
        finally:
            open(target, "w").write("\n".join(src))


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--per-file", type=int, default=14)
    ap.add_argument("--jobs", type=int, default=2)
    ap.add_argument("--only")
    ap.add_argument("--out", default="build-mutate")
    ap.add_argument("--again")
    a = ap.parse_args()
    earlier = {}  # (path:line, what) -> verdict, from LOG's lines "path:line what: verdict"
    for l in open(a.again).read().splitlines() if a.again else []:
        earlier[tuple(l.rsplit(": ", 1)[0].split(" ", 1))] = l.rsplit(": ", 1)[1]
    os.makedirs(a.out, exist_ok=True)
    known = equivalents()

    plan, carried = [], []  # carried: the earlier run's verdicts that stand
    for path in product_files(a.only):
        src, found = mutants_of(path)
        labels = FILE_LABELS.get(path, PARTS[path.split("/")[0]])
        for line_no, new_line, what in spread(found, a.per_file):
            verdict = earlier.get(("%s:%d" % (path, line_no), what), "survived")
            if verdict == "survived":
                plan.append((path, src, line_no, new_line, what, labels))
            else:
                carried.append((path, line_no, what, src[line_no - 1], new_line, verdict, None))
    print("sweep: %d mutants of %d files, %d copies of the tree" % (len(plan), len(product_files(a.only)), a.jobs),
          flush=True)
    started = time.time()
    with concurrent.futures.ThreadPoolExecutor(a.jobs) as pool:
        workers = list(pool.map(lambda n: Worker(a.out, n), range(a.jobs)))
    free = list(workers)
    lock = threading.Lock()
    results = list(carried)
    log = open(os.path.join(a.out, "log.txt"), "w")
    for path, line_no, what, _, _, verdict, _ in carried:
        log.write("%s:%d %s: %s\n" % (path, line_no, what, verdict))

    def one(item):
        with lock:
            worker = free.pop()
        try:
            path, src, line_no, new_line, what, labels = item
            verdict = worker.try_mutant(path, src, line_no, new_line, labels)
            reason = known.get((path, src[line_no - 1].strip(), new_line.strip()))
            if verdict == "survived" and reason:
                verdict = "equivalent"
            with lock:
                results.append((path, line_no, what, src[line_no - 1], new_line, verdict, reason))
                log.write("%s:%d %s: %s\n" % (path, line_no, what, verdict))
                log.flush()
                print("[%d/%d] %s:%d %s: %s" % (len(results) - len(carried), len(plan), path, line_no, what, verdict), flush=True)
        finally:
            with lock:
                free.append(worker)

    with concurrent.futures.ThreadPoolExecutor(a.jobs) as pool:
        list(pool.map(one, plan))

    report(a.out, results, time.time() - started)


def report(out, results, seconds):
    kinds = ("killed", "survived", "equivalent", "did not build")
    rows = {}
    for path, _, _, _, _, verdict, _ in results:
        rows.setdefault(path, dict.fromkeys(kinds, 0))[verdict] += 1
    lines = ["| file | %s | score |" % " | ".join(kinds), "|---|---|---|---|---|---|"]

    def row(name, r):  # a line of the table; returns its score
        counted = r["killed"] + r["survived"]
        score = 100.0 * r["killed"] / counted if counted else 100.0
        lines.append("| %s | %s | %.0f%% |" % (name, " | ".join("%d" % r[k] for k in kinds), score))
        return score

    low = [path for path in sorted(rows) if row(path, rows[path]) < 85]
    row("all", {k: sum(r[k] for r in rows.values()) for k in kinds})
    lines += ["", "Survivors:"]
    for path, line_no, what, old, new, verdict, _ in sorted(results):
        if verdict == "survived":
            lines += ["- %s:%d %s" % (path, line_no, what), "  - `%s`" % old.strip(), "  + `%s`" % new.strip()]
    lines += ["", "%d mutants in %.0f minutes." % (len(results), seconds / 60)]
    text = "\n".join(lines) + "\n"
    open(os.path.join(out, "report.md"), "w").write(text)
    print(text)
    if low:
        print("sweep: below 85%%: %s" % ", ".join(low))
        sys.exit(1)


if __name__ == "__main__":
    main()
