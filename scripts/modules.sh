# The toolbox's modules as build.m finds them: every top-level folder NAME
# holding NAME.cpp. Sourced from the repository's top; sets `modules`.
modules=()
for dir in */; do
  if [ -f "${dir%/}/${dir%/}.cpp" ]; then
    modules+=("${dir%/}")
  fi
done
