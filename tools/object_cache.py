"""A compiler launcher that keeps compiled objects across installs of the same tree.

pip builds every install in a new isolated environment, and the build backend then discards the
build system's own state, objects included. This launcher keeps a copy of each object (and its
dependency file) in a folder of the build directory that survives, keyed by the compile command
and the preprocessed source: a second install of an unchanged tree (the editable install for the
tests after a plain one) copies the objects back instead of compiling them again.

Usage (CMake sets it up): object_cache.py CACHE_DIR COMPILER ARGS...
"""
import hashlib
import os
import shutil
import subprocess
import sys
import tempfile


def option_value(args, flag):
    return args[args.index(flag) + 1] if flag in args else None


def key_of(compiler, args):
    """A digest of the command (without its output names) and of the preprocessed source."""
    skip_next = False
    kept = []
    for a in args:
        if skip_next:
            skip_next = False
            continue
        if a in ("-o", "-MF", "-MT", "-MQ"):
            skip_next = True
            continue
        if a in ("-MD", "-MMD"):
            continue
        kept.append(a)
    preprocessed = subprocess.run([compiler, *[a for a in kept if a != "-c"], "-E"], capture_output=True, check=True)
    version = subprocess.run([compiler, "--version"], capture_output=True, check=True).stdout
    digest = hashlib.sha256()
    for part in (version, "\0".join([compiler, *kept]).encode(), preprocessed.stdout):
        digest.update(len(part).to_bytes(8, "little"))
        digest.update(part)
    return digest.hexdigest()


def store(source, target):
    """Copies source to target atomically, so that parallel compiles never see half a file."""
    fd, temporary = tempfile.mkstemp(dir=os.path.dirname(target))
    os.close(fd)
    shutil.copyfile(source, temporary)
    os.replace(temporary, target)


def main():
    cache, compiler, args = sys.argv[1], sys.argv[2], sys.argv[3:]
    output, depfile = option_value(args, "-o"), option_value(args, "-MF")
    if output is None or "-c" not in args:
        return subprocess.call([compiler, *args])
    try:
        key = key_of(compiler, args)
    except (subprocess.CalledProcessError, OSError):
        return subprocess.call([compiler, *args])  # the compiler reports the error itself
    os.makedirs(cache, exist_ok=True)
    cached_object, cached_deps = os.path.join(cache, key + ".o"), os.path.join(cache, key + ".d")
    if os.path.exists(cached_object) and (depfile is None or os.path.exists(cached_deps)):
        store(cached_object, output)
        if depfile is not None:
            store(cached_deps, depfile)
        return 0
    status = subprocess.call([compiler, *args])
    if status == 0:
        if depfile is not None:
            store(depfile, cached_deps)
        store(output, cached_object)
    return status


if __name__ == "__main__":
    sys.exit(main())
