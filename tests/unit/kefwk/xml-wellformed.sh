#!/usr/bin/env bash
# Has the XML stream test write its document, then checks it with xmllint (libxml2), a parser
# that shares nothing with the stream's own reader.
#   xml-wellformed.sh TEST_EXE
set -euo pipefail
exe=$1
source "$(dirname "$0")/../../../scripts/env.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
out=$(winepath -w "$work/doc.xml")
[ -n "$out" ] || { echo "FAIL: winepath gave no Windows path for $work/doc.xml"; exit 1; }
SARNIK_XML_OUT=$out wine "$exe" --gtest_filter=XmlStream.WellFormedDocument
[ -s "$work/doc.xml" ] || { echo "FAIL: no document written"; exit 1; }
cat "$work/doc.xml"
xmllint --noout "$work/doc.xml"
echo "PASS: xmllint accepts the document"
