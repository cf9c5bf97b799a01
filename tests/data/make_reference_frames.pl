#!/usr/bin/perl
# Writes entry streams and zstd frames of them made by the zstd command-line
# tool, so that the reader's tests can check that frames from another encoder
# decode byte for byte. Perl because Debian always has it.
#
# usage: make_reference_frames.pl ZSTD_PROGRAM OUTPUT_DIRECTORY
#
# Writes stream.bin (about 1.6 MiB: text, pseudo-random bytes, an empty
# entry, a nested name outside ASCII, a long repetitive entry), small.bin (a
# stream that fits one 128 KiB window) and one .zst file per encoder setting
# (see @frames). Everything is deterministic.
use strict;
use warnings;

my ($zstd, $out) = @ARGV;
die "usage: $0 ZSTD_PROGRAM OUTPUT_DIRECTORY\n" unless defined $out;
mkdir $out unless -d $out;

# Name as UTF-16LE (BMP only), its 0x0000 unit, the u64 size, the data.
sub entry {
    my ($name, $data) = @_;
    return pack('v*', map { ord } split //, $name) . "\0\0" . pack('Q<', length $data) . $data;
}

# A 32-bit linear congruential generator: incompressible, reproducible.
sub pseudo_random {
    my ($count, $state) = @_;
    my $bytes = '';
    for (1 .. $count) {
        $state = ($state * 1664525 + 1013904223) & 0xFFFFFFFF;
        $bytes .= chr($state >> 24);
    }
    return $bytes;
}

sub text {
    my ($count) = @_;
    my $text = '';
    for (my $number = 0; length $text < $count; ++$number) {
        $text .= sprintf("%06d the quick brown fox jumps over the lazy dog\r\n", $number);
    }
    return substr($text, 0, $count);
}

my %streams = (
    'stream.bin' => join('',
        entry('main.dll', text(200000)),
        entry("data\\random.bin", pseudo_random(300000, 1)),
        entry('empty.txt', ''),
        entry("nested\\deeper\\\x{e9}t\x{e9} \x{4e2d}.txt", 'x' x 5),
        # Long and repetitive: matches far back in the window.
        entry('repeated.bin', pseudo_random(40000, 7) x 28))
        . "\0\0",
    'small.bin' => entry('main.dll', text(60000)) . entry('b', "\1\2\3") . "\0\0",
);

# name, stream file, zstd arguments, read from standard input (so that the
# frame declares no content size)
my @frames = (
    ['level1.zst',               'stream.bin', ['-1'],                                   0],
    ['level3_checksum_size.zst', 'stream.bin', ['-3', '--check'],                        0],
    ['level19_plain.zst',        'stream.bin', ['-19', '--no-check', '--no-content-size'], 0],
    ['fast5.zst',                'stream.bin', ['--fast=5'],                             0],
    ['long27.zst',               'stream.bin', ['-3', '--long=27'],                      1],
    ['small_blocks.zst',   'stream.bin', ['-3', '--target-compressed-block-size=200'], 0],
    ['literals_raw.zst',   'stream.bin', ['-5', '--no-compress-literals'],            0],
    ['jobs.zst',           'stream.bin', ['-3', '-T2', '-B524288', '--rsyncable'],    0],
    ['small_single_pass.zst', 'small.bin', ['-3'],                                    0],
);

sub write_file {
    my ($path, $content) = @_;
    open(my $file, '>:raw', $path) or die "$path: $!\n";
    print $file $content;
    close($file) or die "$path: $!\n";
}

sub read_file {
    my ($path) = @_;
    open(my $file, '<:raw', $path) or die "$path: $!\n";
    local $/;
    my $content = <$file>;
    close($file);
    return $content;
}

# The window size exponent that a frame header declares (undef for a
# single-segment frame, whose window is its content size).
sub window_log {
    my ($frame) = @_;
    die "not a zstd frame\n" unless substr($frame, 0, 4) eq "\x28\xb5\x2f\xfd";
    return undef if ord(substr($frame, 4, 1)) & 0x20;
    return 10 + (ord(substr($frame, 5, 1)) >> 3);
}

for my $name (keys %streams) {
    write_file("$out/$name", $streams{$name});
}
for my $frame (@frames) {
    my ($name, $source, $arguments, $from_stdin) = @$frame;
    my $target = "$out/$name";
    my @command = ($zstd, '-q', '-f', @$arguments, '-o', $target);
    if ($from_stdin) {
        open(my $saved, '<&', \*STDIN) or die "stdin: $!\n";
        open(STDIN, '<:raw', "$out/$source") or die "$source: $!\n";
        system(@command, '-') == 0 or die "@command failed\n";
        open(STDIN, '<&', $saved) or die "stdin: $!\n";
    } else {
        system(@command, "$out/$source") == 0 or die "@command failed\n";
    }
    if ($name eq 'long27.zst') {
        my $log = window_log(read_file($target)) // 'none';
        die "zstd --long=27 declared window log $log\n" unless $log eq '27';
    }
}
