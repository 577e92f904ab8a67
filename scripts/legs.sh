# Sourced by setup.sh, run.sh and build_wheel.sh: the legs of the test matrix,
# each a Python interpreter, a venv and a constraint file under ci/constraints/.
#   oldest   CPython 3.8, the oldest supported stack (ci/constraints/oldest.txt), on its wheel
#   default  CPython 3.11, the usual pins (ci/constraints/default.txt); venv .venv, from source
#   newest   the newest CPython under pyenv, every dependency unpinned, on its wheel
#   wheel    the other interpreters' wheels and the sdist, each in a clean venv: checks and
#            the main job (no pytest)
# The wheel-based legs install without a compiler on PATH (build/nocc-path).
ALL_LEGS="oldest default newest wheel"
# the CPython releases kestro supports and ships wheels for
SUPPORTED_PYTHONS="3.8 3.9 3.10 3.11 3.12 3.13"

die() { echo "error: $*" >&2; exit 1; }

pyenv_versions_dir() {
  local root="${PYENV_ROOT:-}"
  if [ -z "$root" ] && command -v pyenv >/dev/null 2>&1; then root="$(pyenv root)"; fi
  echo "${root:-$HOME/.pyenv}/versions"
}

# newest patch release of CPython $1 (e.g. 3.8) under pyenv
pyenv_python() {
  local dir v
  dir="$(pyenv_versions_dir)"
  v="$(ls "$dir" 2>/dev/null | grep -E "^${1//./\\.}\.[0-9]+$" | sort -V | tail -n 1 || true)"
  [ -n "$v" ] && [ -x "$dir/$v/bin/python${1}" ] || return 1
  echo "$dir/$v/bin/python${1}"
}

# newest CPython 3 release under pyenv (plain X.Y.Z names: no free-threaded or alternative builds)
pyenv_newest_python() {
  local dir v
  dir="$(pyenv_versions_dir)"
  v="$(ls "$dir" 2>/dev/null | grep -E '^3\.[0-9]+\.[0-9]+$' | sort -V | tail -n 1 || true)"
  [ -n "$v" ] || return 1
  echo "$dir/$v/bin/python${v%.*}"
}

# the interpreter of leg $1; fails loudly when it is missing
leg_python() {
  local py=""
  case "$1" in
    oldest) py="$(pyenv_python 3.8)" || die "leg oldest: no CPython 3.8 under $(pyenv_versions_dir)" ;;
    default|wheel) py="$(command -v python3.11)" || die "leg $1: python3.11 is not on PATH" ;;
    newest) py="$(pyenv_newest_python)" || die "leg newest: no CPython 3 under $(pyenv_versions_dir)" ;;
    *) die "unknown leg '$1' (legs: $ALL_LEGS)" ;;
  esac
  "$py" -c 'import sys' 2>/dev/null || die "leg $1: $py does not run"
  echo "$py"
}

leg_venv() {
  case "$1" in
    default) echo .venv ;;
    *) echo ".venv-$1" ;;
  esac
}

# pip's constraint option for leg $1 (none for the unpinned newest leg)
leg_constraints() {
  case "$1" in
    oldest) echo "-c ci/constraints/oldest.txt" ;;
    default|wheel) echo "-c ci/constraints/default.txt" ;;
    newest) echo "" ;;
    *) die "unknown leg '$1'" ;;
  esac
}

pip_q() { "$1" -m pip install -q --disable-pip-version-check "${@:2}"; }

# The venv of the wheel build's tools (ci/constraints/wheeltools.txt); prints its path.
wheel_tools() {
  local tools=.venv-wheeltools
  if [ ! -x "$tools/bin/python" ]; then "$(leg_python default)" -m venv "$tools"; fi
  pip_q "$tools/bin/python" -r ci/constraints/wheeltools.txt >&2
  echo "$tools"
}

# A venv for leg $1 made by its interpreter; one made by another interpreter is replaced.
make_venv() {
  local py venv want have
  py="$(leg_python "$1")"
  venv="$(leg_venv "$1")"
  want="$("$py" -c 'import sys; print(sys.version)')"
  have="$("$venv/bin/python" -c 'import sys; print(sys.version)' 2>/dev/null || true)"
  if [ "$want" != "$have" ]; then
    rm -rf "$venv"
    "$py" -m venv "$venv"
  fi
}

# Leg $1 from source: kestro built without isolation (its build folder is
# reused between runs), every dependency installed the normal way.
setup_source_leg() {
  local leg="$1" venv py
  make_venv "$leg"
  venv="$(leg_venv "$leg")"
  py="$venv/bin/python"
  # shellcheck disable=SC2046
  pip_q "$py" $(leg_constraints "$leg") "scikit-build-core>=0.10" "pybind11>=2.12" cmake ninja
  if [ "$leg" = default ]; then
    pip_q "$py" --no-build-isolation --no-deps .
  else
    SKBUILD_BUILD_DIR="build/py-$leg" pip_q "$py" --no-build-isolation --no-deps .
  fi
  # the dependencies and the test extra, read from the installed kestro's
  # metadata; --use-pep517: source-only ones are built in isolation by old pips too
  # shellcheck disable=SC2046
  pip_q "$py" --use-pep517 $(leg_constraints "$leg") "kestro[test]"
  "$py" -m pip check >/dev/null || { "$py" -m pip check; die "leg $leg: broken dependencies"; }
}

# the X.Y of the interpreter of leg $1
leg_python_version() { "$(leg_python "$1")" -c 'import sys; print("%d.%d" % sys.version_info[:2])'; }

# the interpreters whose wheels the wheel leg checks: the supported ones that the
# oldest and newest legs do not already test on their wheels
wheel_leg_versions() {
  local v out="" skip
  skip=" $(leg_python_version oldest) $(leg_python_version newest) "
  for v in $SUPPORTED_PYTHONS; do
    case "$skip" in *" $v "*) ;; *) out="$out $v" ;; esac
  done
  echo $out
}

# dist/'s wheel for CPython $1 (X.Y), built now if dist/ has none
wheel_for() {
  local tag="cp${1/./}" whl
  whl="$(ls dist/kestro-*-"$tag"-"$tag"-*.whl 2>/dev/null | head -n 1 || true)"
  if [ -z "$whl" ]; then
    KESTRO_SDIST=0 bash scripts/build_wheel.sh "$1" >/dev/null || return 1
    whl="$(ls dist/kestro-*-"$tag"-"$tag"-*.whl | head -n 1)"
  fi
  echo "$PWD/$whl"
}

# A PATH without any compiler or build tool: every other program of the machine's
# usual folders, linked into build/nocc-path (so that pip cannot quietly build from source)
nocc_path() {
  local dir=build/nocc-path d f name
  if [ ! -d "$dir" ]; then
    mkdir -p "$dir.tmp"
    for d in /usr/local/sbin /usr/local/bin /usr/sbin /usr/bin /sbin /bin; do
      [ -d "$d" ] || continue
      for f in "$d"/*; do
        name="${f##*/}"
        [ -x "$f" ] && [ ! -d "$f" ] && [ ! -e "$dir.tmp/$name" ] || continue
        if echo "$name" | grep -qE '^(cc|c\+\+|c89|c99|cpp|gcc.*|g\+\+.*|.*-(gcc|g\+\+|cpp|c\+\+|ld|as)(-[0-9.]+)?|clang.*|zig|tcc|nvcc|cudafe\+\+|ptxas|nvlink|fatbinary|bin2c|ld|ld\..*|as|cmake|ninja|make|rustc|cargo|go|gfortran.*)$'; then
          continue
        fi
        ln -s "$f" "$dir.tmp/$name"
      done
    done
    rm -rf "$dir"
    mv "$dir.tmp" "$dir"
  fi
  echo "$PWD/$dir"
}

# venv $1 made new by interpreter $2, with $3 (a wheel or sdist, extras included) and the
# pip options after it; a wheel is installed without a compiler on PATH
install_release() {
  local venv="$1" py="$2" what="$3" path="$PATH"
  shift 3
  rm -rf "$venv"
  "$py" -m venv "$venv"
  case "$what" in *.whl*) path="$PWD/$venv/bin:$(nocc_path)" ;; esac
  PATH="$path" pip_q "$venv/bin/python" --use-pep517 "$@" "$what" || return 1
  PATH="$path" "$venv/bin/python" -m pip check >/dev/null || { "$venv/bin/python" -m pip check; return 1; }
}

# The checks every installed release passes: the modules load with the simdjson they
# should ($2: inside or system), the version is told; wheels: no compiler on PATH and
# every symbol version within the wheel's tag
check_release() {
  local venv="$1" simdjson="$2" path="$PATH"
  [ "$simdjson" = inside ] && path="$PWD/$venv/bin:$(nocc_path)"
  PATH="$path" "$venv/bin/python" scripts/check_wheel_libs.py --simdjson "$simdjson" || return 1
  PATH="$path" "$venv/bin/python" -m kestro || return 1
  if [ "$simdjson" = inside ]; then
    PATH="$path" "$venv/bin/python" scripts/check_wheel_symbols.py --installed || return 1
  fi
}

# Leg oldest or newest: its interpreter's wheel with the leg's pins in a new venv.
setup_wheel_based_leg() {
  local leg="$1" whl venv
  whl="$(wheel_for "$(leg_python_version "$leg")")" || die "leg $leg: no wheel"
  venv="$(leg_venv "$leg")"
  # shellcheck disable=SC2046
  install_release "$venv" "$(leg_python "$leg")" "${whl}[test]" $(leg_constraints "$leg") pyelftools \
    || die "leg $leg: the wheel does not install"
  check_release "$venv" inside || die "leg $leg: the wheel's checks failed"
}

# Leg wheel: every other interpreter's wheel, unpinned as a new user gets it, and the
# sdist built from source with the default pins; each checked and run through the main job.
setup_wheel_leg() {
  local v whl sdist venv failed=""
  for v in $(wheel_leg_versions); do
    echo "--- wheel for CPython $v"
    venv=".venv-wheel-$v"
    whl="$(wheel_for "$v")" \
      && install_release "$venv" "$(pyenv_python "$v")" "${whl}[test]" pyelftools \
      && check_release "$venv" inside \
      && PATH="$PWD/$venv/bin:$(nocc_path)" "$venv/bin/python" scripts/main_job.py >/dev/null \
      || failed="$failed $v"
  done
  echo "--- sdist"
  sdist="$(ls "$PWD"/dist/kestro-*.tar.gz 2>/dev/null | head -n 1 || true)"
  [ -n "$sdist" ] || sdist="$(bash scripts/build_wheel.sh --sdist-only)"
  # shellcheck disable=SC2046
  install_release .venv-sdist "$(leg_python default)" "${sdist}[test]" $(leg_constraints default) \
    && check_release .venv-sdist system \
    && .venv-sdist/bin/python scripts/main_job.py >/dev/null \
    || failed="$failed sdist"
  [ -z "$failed" ] || die "leg wheel: failed for$failed"
}

setup_leg() {
  case "$1" in
    wheel) setup_wheel_leg ;;
    oldest|newest) setup_wheel_based_leg "$1" ;;
    default) setup_source_leg "$1" ;;
    *) die "unknown leg '$1' (legs: $ALL_LEGS)" ;;
  esac
}
