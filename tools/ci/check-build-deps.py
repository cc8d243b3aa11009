#!/usr/bin/env python3
"""Checks that a build used nothing the scripts do not install.

Every file outside the source and build trees that went into the build (the
headers of ninja's dependency records, the files CMake read at configure
time, the libraries of the link commands and the shared libraries the built
programs load) is mapped to its Debian package with dpkg -S. The check fails,
naming the file and the package, when that package is neither in one of the
scripts' install lists (tools/ci/build-deps.txt and the packages the scripts
under tools/ci install) nor needed by one of them (Depends and Pre-Depends,
followed to the end), nor essential; a file that no package provides fails
too. So a header installed by hand on a developer's machine cannot make CI
pass while a fresh machine fails.

Usage:
  tools/ci/check-build-deps.py BUILD_DIR...      check ninja build directories
  tools/ci/check-build-deps.py --self-test       show that the check refuses
                                                 what it must
  tools/ci/check-build-deps.py --packages P,Q --files FILE...
                                                 check FILEs against P, Q (and
                                                 the essential packages) only

dpkg -S answers are cached per build directory (.korvel-deps-cache.json),
valid while the dpkg database does not change.
"""
import json
import os
import re
import shlex
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
DPKG_STATUS = "/var/lib/dpkg/status"
LIST_FILES = ["tools/ci/build-deps.txt"]
# Scripts whose install commands name packages (install-deps.sh P..., apt-get
# install P...).
SCRIPT_GLOBS = ["test.sh", "demo.sh", "tools/ci"]


def say(message):
    print("check-build-deps: " + message, flush=True)


# ---- The packages the scripts install ----

def listed_packages():
    packages = set()
    for name in LIST_FILES:
        with open(os.path.join(ROOT, name)) as f:
            for line in f:
                line = line.split("#", 1)[0].strip()
                if line:
                    packages.add(line)
    scripts = []
    for entry in SCRIPT_GLOBS:
        path = os.path.join(ROOT, entry)
        if os.path.isdir(path):
            scripts += [os.path.join(path, n) for n in sorted(os.listdir(path)) if n.endswith(".sh")]
        elif os.path.isfile(path):
            scripts.append(path)
    command = re.compile(r"(?:install-deps\.sh|apt-get\b[^|;&]*?\binstall)\s+(.*)")
    for script in scripts:
        with open(script) as f:
            for line in f:
                if line.lstrip().startswith("#"):
                    continue
                match = command.search(line)
                if not match:
                    continue
                for word in re.split(r"\s+", match.group(1).strip()):
                    if not word or word[0] in ">|;&)<" or word.startswith("2>"):
                        break
                    if word[0] in "-$\"'" or "$" in word or "=" in word:
                        continue
                    if re.fullmatch(r"[a-z0-9][a-z0-9+.-]+", word):
                        packages.add(word)
    return packages


# ---- The installed packages and their dependencies ----

def installed_packages():
    """name -> (essential, [alternative groups of depends]) and virtual -> providers."""
    out = subprocess.run(
        ["dpkg-query", "-W", "-f=${Package}\t${db:Status-Status}\t${Essential}\t${Provides}\t"
         "${Depends}\t${Pre-Depends}\n"],
        capture_output=True, text=True, check=True).stdout
    packages, providers = {}, {}

    def names(field):
        groups = []
        for item in field.split(","):
            alternatives = []
            for alternative in item.split("|"):
                name = alternative.strip().split(" ", 1)[0].split("(", 1)[0].split(":", 1)[0]
                if name:
                    alternatives.append(name)
            if alternatives:
                groups.append(alternatives)
        return groups

    for line in out.splitlines():
        fields = line.split("\t")
        if len(fields) < 6 or fields[1] != "installed":
            continue
        name, _, essential, provides, depends, pre_depends = fields[:6]
        entry = packages.setdefault(name, [False, []])
        entry[0] = entry[0] or essential == "yes"
        entry[1] += names(depends) + names(pre_depends)
        for group in names(provides):
            for virtual in group:
                providers.setdefault(virtual, set()).add(name)
    return packages, providers


def closure(roots, packages, providers):
    """Every installed package that `roots` or an essential package needs."""
    wanted = set(roots) | {name for name, (essential, _) in packages.items() if essential}
    seen, todo = set(), list(wanted)
    while todo:
        name = todo.pop()
        if name in seen:
            continue
        seen.add(name)
        for provider in providers.get(name, ()):
            todo.append(provider)
        if name in packages:
            for group in packages[name][1]:
                todo.extend(group)  # any installed alternative may be the one in use
    return seen


# ---- The files a build used ----

def inside(path, trees):
    path = os.path.normpath(path)
    return any(path == tree or path.startswith(tree + os.sep) for tree in trees)


def ninja(build, *args):
    return subprocess.run(["ninja", "-C", build, "-t", *args], capture_output=True, text=True,
                          check=True).stdout


def used_files(build):
    files = set()
    # Headers the compiler read (ninja's dependency records).
    for line in ninja(build, "deps").splitlines():
        if line.startswith("    "):
            files.add(os.path.join(build, line.strip()))
    # What CMake read at configure time (a re-run depends on it): find
    # modules, package configurations, files copied by configure_file.
    query = ninja(build, "query", "build.ninja")
    in_inputs = False
    for line in query.splitlines():
        stripped = line.strip()
        if stripped.startswith("input:"):
            in_inputs = True
            continue
        if stripped.startswith("outputs:"):
            in_inputs = False
        if in_inputs and stripped:
            files.add(os.path.join(build, stripped.lstrip("|").strip()))
    # Libraries named by the link commands.
    compilers = {}
    for command in ninja(build, "commands").splitlines():
        if " -c " in command or " -o " not in command:
            continue
        try:
            words = shlex.split(command.split("&&")[-1] if "&&" in command else command)
        except ValueError:
            continue
        if not words:
            continue
        compiler = words[0]
        for word in words[1:]:
            if word.startswith("-l") and len(word) > 2:
                key = (compiler, word[2:])
                if key not in compilers:
                    compilers[key] = find_library(compiler, word[2:])
                if compilers[key]:
                    files.add(compilers[key])
            elif os.path.isabs(word) and re.search(r"\.(a|so(\.\d+)*|lib|o)$", word):
                files.add(word)
    # Shared libraries the built programs load (Linux builds).
    for directory, _, names in os.walk(build):
        for name in names:
            path = os.path.join(directory, name)
            if not os.access(path, os.X_OK) or os.path.islink(path):
                continue
            try:
                with open(path, "rb") as f:
                    if f.read(4) != b"\x7fELF":
                        continue
            except OSError:
                continue
            ldd = subprocess.run(["ldd", path], capture_output=True, text=True).stdout
            for line in ldd.splitlines():
                match = re.search(r"=> (/\S+)", line) or re.match(r"\s*(/\S+)", line)
                if match:
                    files.add(match.group(1))
    return files


def find_library(compiler, name):
    for file_name in ("lib%s.so" % name, "lib%s.a" % name):
        try:
            found = subprocess.run([compiler, "-print-file-name=" + file_name], capture_output=True,
                                   text=True).stdout.strip()
        except OSError:
            return None
        if os.path.isabs(found) and os.path.exists(found):
            return os.path.normpath(found)
    return None


# ---- Files to packages ----

def spellings(path):
    """The names dpkg may know a file by: as given, the link resolved, and
    both sides of the merged /usr."""
    names = [os.path.normpath(path), os.path.realpath(path)]
    for name in list(names):
        for short, long in (("/lib/", "/usr/lib/"), ("/lib64/", "/usr/lib64/"), ("/bin/", "/usr/bin/"),
                            ("/sbin/", "/usr/sbin/")):
            if name.startswith(short):
                names.append("/usr" + name)
            elif name.startswith(long):
                names.append(name[4:])
    unique = []
    for name in names:
        if name not in unique:
            unique.append(name)
    return unique


def dpkg_owners(paths, cache):
    """path -> [package...] for every path, asking dpkg -S once for all that
    the cache does not know."""
    missing = sorted({name for path in paths for name in spellings(path)} - set(cache))
    for start in range(0, len(missing), 2000):
        chunk = missing[start:start + 2000]
        for name in chunk:
            cache[name] = []
        out = subprocess.run(["dpkg", "-S", *chunk], capture_output=True, text=True).stdout
        for line in out.splitlines():
            if line.startswith("diversion ") or ": " not in line:
                continue
            owners, name = line.split(": ", 1)
            if name in cache:
                cache[name] = sorted({owner.strip().split(":", 1)[0] for owner in owners.split(",")})
    result = {}
    for path in paths:
        owners = []
        for name in spellings(path):
            owners = cache.get(name, [])
            if owners:
                break
        result[path] = owners
    return result


def check(files, acceptable, cache, lists_text):
    owners = dpkg_owners(files, cache)
    failures = []
    for path in sorted(files):
        packages = owners[path]
        if not packages:
            failures.append("%s: no Debian package provides it (installed by hand?)" % path)
        elif not any(p in acceptable for p in packages):
            failures.append("%s: from package %s, which %s installs or needs"
                            % (path, " / ".join(packages), lists_text))
    return failures


def load_cache(build):
    path = os.path.join(build, ".korvel-deps-cache.json")
    stamp = os.stat(DPKG_STATUS).st_mtime_ns
    try:
        with open(path) as f:
            data = json.load(f)
        if data.get("dpkg_status") == stamp:
            return data["owners"]
    except (OSError, ValueError, KeyError):
        pass
    return {}


def save_cache(build, cache):
    path = os.path.join(build, ".korvel-deps-cache.json")
    try:
        with open(path + ".tmp", "w") as f:
            json.dump({"dpkg_status": os.stat(DPKG_STATUS).st_mtime_ns, "owners": cache}, f)
        os.replace(path + ".tmp", path)
    except OSError:
        pass


def check_builds(builds):
    packages, providers = installed_packages()
    lists = listed_packages()
    acceptable = closure(lists, packages, providers)
    lists_text = ("none of the scripts' lists (tools/ci/build-deps.txt, the install commands of test.sh, "
                  "demo.sh, tools/ci/*.sh)")
    failed = False
    for build in builds:
        build = os.path.abspath(build)
        trees = [os.path.normpath(ROOT), os.path.normpath(build), os.path.realpath(ROOT), os.path.realpath(build)]
        # A directory the build tree links in (the Windows libraries one
        # work tree shares with another) is the build's own output too.
        for name in os.listdir(build):
            path = os.path.join(build, name)
            if os.path.islink(path) and os.path.isdir(path):
                trees.append(os.path.realpath(path))
        files = {os.path.normpath(f) for f in used_files(build) if not inside(f, trees)}
        files = {f for f in files if os.path.exists(f)}
        cache = load_cache(build)
        failures = check(files, acceptable, cache, lists_text)
        save_cache(build, cache)
        for failure in failures:
            say(failure)
        if failures:
            failed = True
        else:
            say("%s: %d files outside the tree, each from a package the scripts install (%d acceptable packages)"
                % (os.path.relpath(build, ROOT), len(files), len(acceptable)))
    if failed:
        say("add the package to tools/ci/build-deps.txt (or to the script that needs it)")
    return 1 if failed else 0


def check_files(package_list, files):
    packages, providers = installed_packages()
    acceptable = closure(package_list, packages, providers)
    failures = check(set(files), acceptable, {}, "none of the given packages " + ",".join(package_list))
    for failure in failures:
        say(failure)
    return 1 if failures else 0


def self_test():
    """The check refuses a file of a package outside the lists, and one of no
    package; it accepts one of a listed package and of its dependencies."""
    def first_file(package, pattern):
        out = subprocess.run(["dpkg", "-L", package], capture_output=True, text=True).stdout
        for line in out.splitlines():
            if re.search(pattern, line) and os.path.isfile(line) and not os.path.islink(line):
                return line
        raise SystemExit("self-test: no file of %s matching %s" % (package, pattern))

    header = first_file("libzip-dev", r"^/usr/include/.*\.h$")
    runtime = first_file("libzip4", r"\.so\.")
    packages, providers = installed_packages()
    ok = True

    def expect(package_list, files, should_pass, must_name=()):
        nonlocal ok
        acceptable = closure(package_list, packages, providers)
        failures = check(set(files), acceptable, {}, "none of the packages " + ",".join(package_list))
        text = "\n".join(failures)
        if should_pass != (not failures) or any(name not in text for name in must_name):
            ok = False
            say("self-test FAILED: lists %s, files %s: %s" % (package_list, files, text or "accepted"))

    expect(["cmake"], [header], False, must_name=[header, "libzip-dev"])
    expect(["libzip-dev"], [header, runtime], True)
    with tempfile.NamedTemporaryFile(prefix="korvel-by-hand-", suffix=".h") as stray:
        expect(["libzip-dev"], [stray.name], False, must_name=[stray.name, "no Debian package"])
    # The scripts' own lists include firebird-dev, whose header the build
    # copies at configure time.
    if "firebird-dev" not in listed_packages():
        ok = False
        say("self-test FAILED: firebird-dev is not in the scripts' lists")
    say("self-test passed" if ok else "self-test failed")
    return 0 if ok else 1


def main(argv):
    if argv[:1] == ["--self-test"]:
        return self_test()
    if argv[:1] == ["--packages"] and len(argv) >= 4 and argv[2] == "--files":
        return check_files([p for p in argv[1].split(",") if p], argv[3:])
    if not argv or argv[0].startswith("-"):
        print(__doc__.strip(), file=sys.stderr)
        return 2
    return check_builds(argv)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
