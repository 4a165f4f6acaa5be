#!/usr/bin/env bash
# Builds the documentation site into build/docs/html: installs what it needs,
# builds the package it documents (as the main job does), runs Sphinx with
# warnings as errors (the gallery's examples run as part of it), then checks
# the built site: every internal link and resource resolves, and a headless
# browser renders the front page, an API page and a search with their styles,
# images and search index.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/bootstrap.sh docs
bash scripts/velarix.sh --version >/dev/null
rm -rf build/docs
start=$SECONDS
MPLBACKEND=agg /usr/bin/python3 -m sphinx -W --keep-going -q -b html -d build/docs/doctrees \
  docs build/docs/html
echo "docs.sh: site built in $((SECONDS - start)) s: build/docs/html/index.html" >&2
/usr/bin/python3 docs/check_site.py build/docs/html
