#!/usr/bin/perl
# Replays every console session of the given guides against a real
# qeno-host, so that what a guide shows is what the program does.
#   perl scripts/check-sessions.pl --bin DIR [--prefix PREFIX] GUIDE.md...
# DIR holds the qeno-host to run (the build folder, or PREFIX/bin); PREFIX
# is an installed tree, given to the sessions as $PREFIX (sessions that use
# it are skipped without one).
#
# A guide's ```console block is a session, run in a scratch folder where
# basics/ and examples/ are the repository's:
#   $ qeno-host ARGS      starts qeno-host; the lines after it must appear in
#                         what it prints (stdout in order, stderr exactly);
#                         it runs on until the block ends (then SIGTERM, and
#                         it must end with status 0), or ends by itself
#   qeno> COMMAND         is typed into the last qeno-host started; its
#                         error lines must be exactly the lines shown that
#                         start "qeno-host:", the other lines must appear
#   $ COMMAND             any other command, run by bash (a trailing \ goes
#                         on to the next line); it must end with status 0,
#                         and what it prints, stdout and stderr, must be
#                         exactly the lines after it
# In an expected line "..." stands for any text; a line of "..." alone for
# any lines. Only qeno-host's stderr lines that start "qeno-host:" count
# (the debug channel is left out). Ports 8080 to 8099 of a guide become
# free ports near a random one, in the sessions and in its files (and a
# qeno-host given neither --port nor --graph gets --port); $TOKEN is
# the token of the last editor page address qeno-host printed. A block
# ```json NAME (or any kind followed by a name) is saved as the file NAME
# in the scratch folder before the sessions after it run. A guide may hold
# no ```sh block: what it shows to type is a session.
use strict;
use warnings;
use Cwd qw(abs_path);
use File::Basename qw(dirname);
use File::Temp qw(tempdir);
use IO::Select;
use IPC::Open3;
use POSIX qw(:sys_wait_h);
use Symbol qw(gensym);
use Time::HiRes qw(time);

$SIG{PIPE} = 'IGNORE';
my $root = abs_path(dirname(__FILE__) . "/..");
my ($bin, $prefix, @guides);
while (@ARGV) {
  my $arg = shift @ARGV;
  if ($arg eq '--bin') { $bin = abs_path(shift @ARGV); }
  elsif ($arg eq '--prefix') { $prefix = abs_path(shift @ARGV); }
  else { push @guides, $arg; }
}
die "check-sessions: usage: --bin DIR [--prefix PREFIX] GUIDE.md...\n" unless $bin && @guides;
die "check-sessions: no qeno-host in $bin\n" unless -x "$bin/qeno-host";

my $stepSeconds = 60;       # for qeno-host to print what a step expects
my $commandSeconds = 600;   # for a command to end (a build may take minutes)
my $failed = 0;
my $sessions = 0;
for my $guide (@guides) {
  my @blocks = parseGuide($guide);
  my $result = runGuide($guide, \@blocks);
  # Another program held one of the ports: other ports, twice at most.
  for (1 .. 2) {
    last if $result ne 'port';
    print "check-sessions: $guide: a port was in use; trying others\n";
    $result = runGuide($guide, \@blocks);
  }
  $failed = 1 if $result ne 'passed';
}
die "check-sessions: failed\n" if $failed;
die "check-sessions: no session found\n" if $sessions == 0;
print "check-sessions: every session of the guides replays ($sessions)\n";
exit 0;

sub parseGuide {
  my ($guide) = @_;
  open(my $in, '<', $guide) or die "check-sessions: $guide: $!\n";
  my @lines = <$in>;
  chomp @lines;
  my @blocks;
  for (my $i = 0; $i < @lines; ++$i) {
    next unless $lines[$i] =~ /^```(\S*)(?:\s+(\S+))?\s*$/ && $1 ne '';
    my ($kind, $name, $start) = ($1, $2, $i + 1);
    my @body;
    for (++$i; $i < @lines && $lines[$i] ne '```'; ++$i) { push @body, $lines[$i]; }
    die "check-sessions: $guide:$start: a ```sh block; show commands as a console session\n"
      if $kind eq 'sh' || $kind eq 'bash';
    if ($kind eq 'console') {
      push @blocks, { session => parseSession($guide, $start, \@body), line => $start };
    } elsif (defined $name) {
      push @blocks, { file => $name, text => join("\n", @body) . "\n", line => $start };
    }
  }
  return @blocks;
}

sub parseSession {
  my ($guide, $start, $body) = @_;
  my @steps;
  for (my $i = 0; $i < @$body; ++$i) {
    my $line = $body->[$i];
    my $where = "$guide:" . ($start + $i + 1);
    if ($line =~ /^\$ (.*)$/) {
      my $command = $1;
      while ($command =~ /\\$/ && $i + 1 < @$body) { $command .= "\n" . $body->[++$i]; }
      my $kind = $command =~ /^qeno-host(\s|$)/ ? 'host' : 'shell';
      push @steps, { kind => $kind, command => $command, expect => [], where => $where };
    } elsif ($line =~ /^qeno> (.*)$/) {
      push @steps, { kind => 'type', command => $1, expect => [], where => $where };
    } else {
      die "check-sessions: $where: output before any command\n" unless @steps;
      push @{ $steps[-1]{expect} }, $line;
    }
  }
  return \@steps;
}

# --- running ---------------------------------------------------------------

my (@procs, %env, $ports, $problem);
my $marker = 0;  # the last sync line typed

sub mapPorts {
  my ($text) = @_;
  $text =~ s/\b80([89]\d)\b/$ports + $1 - 80/ge;
  return $text;
}

sub runGuide {
  my ($guide, $blocks) = @_;
  my $scratch = tempdir('qeno-sessions.XXXXXX', TMPDIR => 1, CLEANUP => 1);
  symlink("$root/$_", "$scratch/$_") for qw(basics examples);
  mkdir "$scratch/home";
  # The server's port property goes to 10000.
  $ports = 8100 + int(rand(1800));
  %env = (%ENV, PATH => "$bin:$ENV{PATH}", HOME => "$scratch/home");
  delete $env{QENO_MODULE_PATH};
  $env{PREFIX} = $prefix if defined $prefix;
  my $result = 'passed';
  for my $block (@$blocks) {
    if (exists $block->{file}) {
      open(my $out, '>', "$scratch/$block->{file}") or die "check-sessions: $block->{file}: $!\n";
      print $out mapPorts($block->{text});
      close $out;
      next;
    }
    my $text = join("\n", map { $_->{command} } @{ $block->{session} });
    if (!defined $prefix && $text =~ /\$\{?PREFIX\b/) {
      print "check-sessions: $guide:$block->{line}: skipped, it needs an installed --prefix\n";
      next;
    }
    ++$sessions;
    $result = runSession($scratch, $block->{session});
    last if $result ne 'passed';
  }
  return $result;
}

sub runSession {
  my ($scratch, $steps) = @_;
  chdir $scratch or die "check-sessions: $scratch: $!\n";
  @procs = ();
  $problem = undef;
  for my $step (@$steps) {
    my @expect = map { mapPorts($_) } @{ $step->{expect} };
    my @errors = grep { /^qeno-host:/ } @expect;
    my @lines = grep { !/^qeno-host:/ } @expect;
    my $command = mapPorts($step->{command});
    # The one-box graph's server listens on 8080 unless told otherwise.
    $command .= " --port $ports" if $step->{kind} eq 'host' && $command !~ /--(port|graph)\b/;
    if ($step->{kind} eq 'shell') {
      my $proc = start($command, 0);
      waitFor(sub { $proc->{ended} }, $commandSeconds);
      fail($step, "'$command' did not end") unless $proc->{ended};
      fail($step, "'$command' ended with status $proc->{status}", $proc->{out})
        if $proc->{ended} && $proc->{status} != 0;
      fail($step, "'$command' printed", $proc->{out}) unless matchAll(\@expect, $proc->{out});
    } elsif ($step->{kind} eq 'host') {
      my $proc = start($command, 1);
      $proc->{step} = $step;
      $proc->{expect} = [@expect];
      waitFor(sub { $proc->{ended} || (seen($proc, \@lines) && errorsAhead($proc, scalar @errors)) },
              $stepSeconds);
      last if $problem;
      fail($step, "qeno-host printed", [@{ $proc->{out} }, @{ $proc->{err} }])
        unless takeLines($proc, \@lines) && takeErrors($proc, \@errors);
    } else {
      my ($proc) = grep { !$_->{ended} && $_->{host} } reverse @procs;
      fail($step, "no qeno-host runs to type into") unless $proc;
      last if $problem;
      $proc->{typed} = 1;
      my $quit = $command =~ /^(quit|exit)\s*$/;
      syswrite($proc->{in}, "$command\n");
      my $sync = $quit ? '' : sync($proc);
      waitFor(sub { $proc->{ended} || grep { $_ eq $sync } @{ $proc->{err} } }, $stepSeconds);
      pump(0);
      my @told = @{ $proc->{err} }[$proc->{errAt} .. $#{ $proc->{err} }];
      my ($end) = grep { $told[$_] eq $sync } 0 .. $#told;
      fail($step, "qeno-host did not answer '$command'") unless $quit || defined $end || $proc->{ended};
      last if $problem;
      $end //= scalar @told;
      fail($step, "qeno-host's errors after '$command'", [@told[0 .. $end - 1]])
        unless matchAll(\@errors, [@told[0 .. $end - 1]]);
      $proc->{errAt} += $quit ? $end : $end + 1;
      waitFor(sub { $proc->{ended} || seen($proc, \@lines) }, $stepSeconds) if @lines;
      fail($step, "qeno-host printed after '$command'", $proc->{out}) unless takeLines($proc, \@lines);
    }
    last if $problem;
  }
  finishSession();
  chdir $root;
  return 'passed' unless $problem;
  my $inUse = grep { grep { /in use/ } @{ $_->{err} }, @{ $_->{out} } } @procs;
  print STDERR $problem;
  return $inUse ? 'port' : 'failed';
}

# Ends every qeno-host still running as a service manager would; each must
# end with status 0, and every error line it wrote must have been expected.
sub finishSession {
  for my $proc (grep { $_->{host} } @procs) {
    # One that reads its commands answers one; one that ends by itself ends.
    my $sync = sync($proc);
    waitFor(sub { $proc->{ended} || grep { $_ eq $sync } @{ $proc->{err} } }, $stepSeconds);
    $proc->{err} = [grep { $_ ne $sync } @{ $proc->{err} }];
    if (!$proc->{ended}) {
      kill 'TERM', $proc->{pid};
      waitFor(sub { $proc->{ended} }, $stepSeconds);
      if (!$proc->{ended}) {
        kill 'KILL', $proc->{pid};
        fail($proc->{step}, "qeno-host did not end on SIGTERM");
      } elsif ($proc->{status} != 0) {
        fail($proc->{step}, "qeno-host ended with status $proc->{status} on SIGTERM", $proc->{err});
      }
    } elsif (!$proc->{typed} && !$problem) {
      # It ended by itself: what it printed is all of what it printed.
      my @out = @{ $proc->{out} };
      my @expect = grep { !/^qeno-host:/ } @{ $proc->{expect} };
      fail($proc->{step}, "qeno-host printed", \@out) unless matchAll(\@expect, \@out);
    }
    my @left = @{ $proc->{err} }[$proc->{errAt} .. $#{ $proc->{err} }];
    fail($proc->{step}, "qeno-host wrote errors no session shows", \@left) if @left && !$problem;
  }
  for my $proc (grep { !$_->{ended} } @procs) { kill 'KILL', $proc->{pid}; }
  waitFor(sub { !grep { !$_->{ended} } @procs }, $stepSeconds);
}

# Types a command qeno-host does not know, and returns the line it answers
# with: once that line is there, every command typed before it has run.
sub sync {
  my ($proc) = @_;
  ++$marker;
  syswrite($proc->{in}, "qeno-sync-$marker\n");  # fails quietly once it has ended
  return "qeno-host: unknown command 'qeno-sync-$marker'; type help";
}

sub fail {
  my ($step, $what, $lines) = @_;
  return if $problem;
  $problem = "check-sessions: $step->{where}: $what\n";
  $problem .= "  expected:\n" . join('', map { "    $_\n" } @{ $step->{expect} }) if @{ $step->{expect} };
  $problem .= "  got:\n" . join('', map { "    $_\n" } @$lines) if $lines;
}

sub start {
  my ($command, $host) = @_;
  my ($in, $out, $err) = (undef, undef, gensym);
  local %ENV = %env;
  my @run = $host ? ('bash', '-c', "exec $command") : ('timeout', $commandSeconds, 'bash', '-c', $command);
  my $pid = $host ? open3($in, $out, $err, @run) : open3($in, $out, undef, @run);
  close $in unless $host;
  my $proc = { pid => $pid, in => $in, host => $host, out => [], err => [], outAt => 0, errAt => 0 };
  # Each open stream: its handle, the name of its lines, its unfinished line.
  $proc->{streams} = [{ handle => $out, name => 'out', partial => '' }];
  push @{ $proc->{streams} }, { handle => $err, name => 'err', partial => '' } if $host;
  push @procs, $proc;
  return $proc;
}

# Reads what every process printed, for at most $seconds; notes the ends.
sub pump {
  my ($seconds) = @_;
  my $select = IO::Select->new();
  my %streamOf;
  for my $proc (@procs) {
    for my $stream (@{ $proc->{streams} }) {
      $select->add($stream->{handle});
      $streamOf{ $stream->{handle} } = [$proc, $stream];
    }
  }
  select(undef, undef, undef, $seconds) if $select->count() == 0 && $seconds > 0;
  for my $handle ($select->can_read($seconds)) {
    my ($proc, $stream) = @{ $streamOf{$handle} };
    my $lines = $proc->{ $stream->{name} };
    my $got = sysread($handle, my $data, 65536);
    if (!$got) {
      my $last = $stream->{partial};
      push @$lines, $last if $last ne '' && ($stream->{name} eq 'out' || $last =~ /^qeno-host:/);
      $proc->{streams} = [grep { $_ != $stream } @{ $proc->{streams} }];
      close $handle;
      next;
    }
    my @parts = split /\n/, $stream->{partial} . $data, -1;
    $stream->{partial} = pop @parts;
    # Only qeno-host's own lines count on stderr; the debug channel does not.
    @parts = grep { /^qeno-host:/ } @parts if $stream->{name} eq 'err';
    push @$lines, @parts;
  }
  for my $proc (grep { !$_->{ended} && !@{ $_->{streams} } } @procs) {
    if (waitpid($proc->{pid}, WNOHANG) == $proc->{pid}) {
      $proc->{status} = $? >> 8;
      $proc->{ended} = 1;
    }
  }
}

sub waitFor {
  my ($done, $seconds) = @_;
  my $deadline = time() + $seconds;
  while (!$done->()) {
    return 0 if time() > $deadline;
    pump(0.1);
  }
  return 1;
}

sub lineMatches {
  my ($expected, $actual) = @_;
  my $pattern = join('.*', map { quotemeta } split(/\.\.\./, $expected, -1));
  return $actual =~ /^$pattern$/s;
}

# Every expected line in order, "..." lines standing for any lines.
sub matchAll {
  my ($expected, $actual, $i, $j) = @_;
  ($i, $j) = (0, 0) unless defined $i;
  return $j == @$actual if $i == @$expected;
  if ($expected->[$i] eq '...') {
    for my $k ($j .. scalar @$actual) { return 1 if matchAll($expected, $actual, $i + 1, $k); }
    return 0;
  }
  return $j < @$actual && lineMatches($expected->[$i], $actual->[$j])
    && matchAll($expected, $actual, $i + 1, $j + 1);
}

# Where the lines appear in order in stdout from the cursor, or undef.
sub findLines {
  my ($proc, $lines) = @_;
  my $at = $proc->{outAt};
  my $out = $proc->{out};
  for my $line (@$lines) {
    next if $line eq '...';
    ++$at while $at < @$out && !lineMatches($line, $out->[$at]);
    return undef if $at == @$out;
    ++$at;
  }
  return $at;
}

sub seen { return defined findLines(@_); }

sub takeLines {
  my ($proc, $lines) = @_;
  my $at = findLines($proc, $lines);
  return 0 unless defined $at;
  $proc->{outAt} = $at;
  for my $line (@{ $proc->{out} }[0 .. $at - 1]) { $env{TOKEN} = $1 if $line =~ /[?&]token=([0-9a-f]+)/; }
  return 1;
}

sub errorsAhead {
  my ($proc, $count) = @_;
  return @{ $proc->{err} } - $proc->{errAt} >= $count;
}

sub takeErrors {
  my ($proc, $errors) = @_;
  my $end = $proc->{errAt} + @$errors;
  return 0 if $end > @{ $proc->{err} };
  return 0 unless matchAll($errors, [@{ $proc->{err} }[$proc->{errAt} .. $end - 1]]);
  $proc->{errAt} = $end;
  return 1;
}
