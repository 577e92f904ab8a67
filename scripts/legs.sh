# Sourced by setup.sh, run.sh and build_wheel.sh: the legs of the test matrix,
# each a Python interpreter, a venv and a constraint file under ci/constraints/.
#   oldest   CPython 3.8, the oldest supported stack (ci/constraints/oldest.txt)
#   default  CPython 3.11, the usual pins (ci/constraints/default.txt); venv .venv
#   newest   the newest CPython under pyenv, every dependency unpinned
#   wheel    the repaired wheel in a clean venv (CPython 3.11, default pins)
ALL_LEGS="oldest default newest wheel"

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

# The repaired wheel of scripts/build_wheel.sh into a new, clean venv.
setup_wheel_leg() {
  local venv py whl
  whl="$(bash scripts/build_wheel.sh)"
  venv="$(leg_venv wheel)"
  rm -rf "$venv"
  "$(leg_python wheel)" -m venv "$venv"
  py="$venv/bin/python"
  # shellcheck disable=SC2046
  pip_q "$py" --use-pep517 $(leg_constraints wheel) "${whl}[test]"
  "$py" -m pip check >/dev/null || { "$py" -m pip check; die "leg wheel: broken dependencies"; }
  # the simdjson the modules load must be the copy inside the wheel
  "$py" scripts/check_wheel_libs.py
}

setup_leg() {
  case "$1" in
    wheel) setup_wheel_leg ;;
    oldest|default|newest) setup_source_leg "$1" ;;
    *) die "unknown leg '$1' (legs: $ALL_LEGS)" ;;
  esac
}
