"""Check that kestro's extension modules run on every glibc their platform tag promises.

    check_wheel_symbols.py WHEEL...          the modules inside each wheel, against its tag
    check_wheel_symbols.py --installed       the installed kestro's modules, against the tag
                                             of the wheel it was installed from
    check_wheel_symbols.py --glibc X.Y SO... loose shared objects, against glibc X.Y

A module passes when every symbol version it needs from glibc is at most the tag's
glibc, it needs nothing of a C++ runtime from the machine (GLIBCXX_, CXXABI_, GCC_: the
runtime is linked in), it names no library beyond glibc's own, and every undefined
symbol without a version is the interpreter's (Py*, _Py*). Prints each module's newest
glibc version; exits 1 naming every offence.
"""
import argparse
import io
import os
import re
import sys
import zipfile

from elftools.elf.dynamic import DynamicSection
from elftools.elf.elffile import ELFFile
from elftools.elf.gnuversions import GNUVerNeedSection, GNUVerSymSection

# the libraries every manylinux policy lets a module take from the machine
GLIBC_LIBS = {"libc.so.6", "libm.so.6", "libpthread.so.0", "libdl.so.2", "librt.so.1",
              "ld-linux-x86-64.so.2", "libutil.so.1", "libresolv.so.2"}
LEGACY_TAGS = {"manylinux1": (2, 5), "manylinux2010": (2, 12), "manylinux2014": (2, 17)}
# weak references every toolchain leaves; resolved to nothing where absent
WEAK_ANYWHERE = re.compile(r"^(__gmon_start__|_ITM_\w+|__cxa_finalize)$")
INTERPRETER = re.compile(r"^_?Py")


def parse_version(text):
    return tuple(int(p) for p in text.split("."))


def tag_glibc(platform_tag):
    """The glibc (major, minor) a platform tag promises, or None for a tag of no glibc."""
    m = re.match(r"^manylinux_(\d+)_(\d+)_", platform_tag)
    if m:
        return int(m.group(1)), int(m.group(2))
    return LEGACY_TAGS.get(platform_tag.split("_x86_64")[0].split("_aarch64")[0])


def wheel_glibc(tags):
    """The oldest glibc any of a wheel's platform tags promises (each one must hold)."""
    found = [g for g in (tag_glibc(t) for t in tags) if g]
    return min(found) if found else None


def offences(name, data, glibc):
    """What in the shared object `data` breaks a glibc `glibc` promise, and its newest glibc."""
    elf = ELFFile(io.BytesIO(data))
    bad = []
    newest = (0, 0)
    for section in elf.iter_sections():
        if isinstance(section, DynamicSection):
            for tag in section.iter_tags():
                if tag.entry.d_tag == "DT_NEEDED" and tag.needed not in GLIBC_LIBS:
                    bad.append("%s needs %s, which the machine need not have" % (name, tag.needed))
        elif isinstance(section, GNUVerNeedSection):
            for verneed, auxes in section.iter_versions():
                for aux in auxes:
                    vname = aux.name
                    if vname.startswith("GLIBC_") and vname[6:7].isdigit():
                        v = parse_version(vname[6:])
                        newest = max(newest, v)
                        if v > glibc:
                            bad.append("%s needs %s from %s, newer than glibc %d.%d"
                                       % (name, vname, verneed.name, glibc[0], glibc[1]))
                    elif vname.startswith(("GLIBCXX_", "CXXABI_", "GCC_")):
                        bad.append("%s needs the machine's C++ runtime: %s from %s"
                                   % (name, vname, verneed.name))
    dynsym = elf.get_section_by_name(".dynsym")
    versym = next((s for s in elf.iter_sections() if isinstance(s, GNUVerSymSection)), None)
    for i, sym in enumerate(dynsym.iter_symbols()):
        if i == 0 or sym["st_shndx"] != "SHN_UNDEF":
            continue
        index = versym.get_symbol(i)["ndx"] if versym is not None else "VER_NDX_LOCAL"
        versioned = index not in ("VER_NDX_LOCAL", "VER_NDX_GLOBAL")
        if versioned or INTERPRETER.match(sym.name):
            continue
        if sym["st_info"]["bind"] == "STB_WEAK" and WEAK_ANYWHERE.match(sym.name):
            continue
        bad.append("%s needs %s, which neither glibc nor the interpreter provides" % (name, sym.name))
    return bad, newest


def report(name, data, glibc):
    bad, newest = offences(name, data, glibc)
    print("%s: newest glibc symbol version %d.%d (allowed %d.%d)"
          % (name, newest[0], newest[1], glibc[0], glibc[1]))
    return bad


def check_wheel(path):
    base = os.path.basename(path)
    # name-version-pyver-abi-platform.whl; the platform part may join several tags by "."
    platform = base[:-len(".whl")].split("-")[-1]
    glibc = wheel_glibc(platform.split("."))
    if glibc is None:
        return ["%s: no manylinux platform tag (%s)" % (base, platform)]
    bad = []
    with zipfile.ZipFile(path) as z:
        modules = [n for n in z.namelist() if re.search(r"\.so(\.|$)", n)]
        if not modules:
            return ["%s holds no extension module" % base]
        for n in modules:
            bad += report("%s:%s" % (base, n), z.read(n), glibc)
    return bad


def check_installed():
    from importlib import metadata
    import importlib.util

    dist = metadata.distribution("kestro")
    tags = [line.split(":", 1)[1].strip().split("-")[-1]
            for line in (dist.read_text("WHEEL") or "").splitlines() if line.startswith("Tag:")]
    glibc = wheel_glibc(tags)
    if glibc is None:
        return ["the installed kestro is not from a manylinux wheel (tags: %s)" % tags]
    root = os.path.dirname(importlib.util.find_spec("kestro").origin)
    bad = []
    found = 0
    for folder, _, files in os.walk(root):
        for f in sorted(files):
            if re.search(r"\.so(\.|$)", f):
                found += 1
                path = os.path.join(folder, f)
                with open(path, "rb") as fh:
                    bad += report(os.path.relpath(path, root), fh.read(), glibc)
    if found < 5:
        bad.append("only %d extension modules under %s" % (found, root))
    return bad


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--installed", action="store_true")
    ap.add_argument("--glibc", type=parse_version)
    ap.add_argument("files", nargs="*")
    args = ap.parse_args(argv)
    bad = []
    if args.installed:
        bad = check_installed()
    elif args.glibc:
        for f in args.files:
            with open(f, "rb") as fh:
                bad += report(f, fh.read(), args.glibc)
    else:
        for f in args.files:
            bad += check_wheel(f)
    for b in bad:
        print("error: " + b, file=sys.stderr)
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
