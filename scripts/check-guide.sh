#!/usr/bin/env bash
# Checks that every fenced code fragment of docs/modules.md appears, line for
# line, in a source of an example the install stage builds, so the guide
# cannot drift from code that compiles.
#   bash scripts/check-guide.sh
set -euo pipefail
cd "$(dirname "$0")/.."
perl -e '
  use strict; use warnings;
  local $/;
  open(my $guide, "<", "docs/modules.md") or die "check-guide: docs/modules.md: $!\n";
  my $text = <$guide>;
  my $sources = "";
  for my $file (glob("examples/*/*.cpp examples/*/*.h examples/*/CMakeLists.txt basics/*.cpp basics/*.h")) {
    open(my $in, "<", $file) or die "check-guide: $file: $!\n";
    $sources .= <$in> . "\n";
  }
  my ($count, $bad) = (0, 0);
  while ($text =~ /^```(cpp|cmake)\n(.*?)^```$/msg) {
    my $fragment = $2;
    ++$count;
    next if index($sources, $fragment) >= 0;
    ++$bad;
    my ($first) = split /\n/, $fragment;
    print STDERR "check-guide: a $1 fragment is in no example: $first\n";
  }
  die "check-guide: no fragments found\n" if $count == 0;
  exit($bad ? 1 : 0);
'
echo "check-guide: every fragment is in an example"
