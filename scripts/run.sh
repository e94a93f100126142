#!/usr/bin/env bash
# run.sh: installs what is missing, builds, lays out the working folder run/
# from www/ and runs tavro there. The database (Brakvellion.mem) and the
# backup archives already in run/ are kept; the served files are refreshed.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

./scripts/install-deps.sh
./scripts/build.sh build

mkdir -p run
cp -R www/. run/
cd run
exec "$root/build/shell/tavro"
