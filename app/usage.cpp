#include "app/usage.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "files/names.h"

namespace {

constexpr const char* version_text = "kestro 1.0\n";

// One screen of reference; the manual page (docs/kestro.1) says the same at length.
constexpr const char* usage_text =
    R"(Usage: kestro -p DEVICE [options] [names...]   device mode, full-screen display
       kestro [options] [names...]             door mode, on stdin/stdout
                                               (or --fd N, --door32 FILE)
       kestro --help | --version

Sends and receives files over one serial line both ways at once while the users
at the two ends chat; the other end runs kestro too. Names are files to send,
directories to look them up in, or @LIST (a file of names, one a line); -d and
-U change how the names after them are taken. A directory applies to the bare
names after it: in "kestro -p P big.bin docs a.jpg", a.jpg is docs/a.jpg, and
./a.jpg would be the one here. Names that send nothing are listed at the end,
and so is a directory no name follows (unless -r serves it).
Letters may share a word (-cxy); those taking an argument take the following
words, in order.
A line that echoes what is sent is never taken for the peer; a peer killed and
started again is linked with again in the same run, its transfers resumed.
Door mode at a shell prompt says so; Ctrl+C ends it until a peer is heard.

Line and link:
  -p DEVICE  device mode on this serial port (a terminal device, locked for
             the run); without -p: door mode, the line is stdin and stdout
  --speed N  set the port to N baud (a standard rate, 50..4000000); without it
             the port keeps its speed; door mode never touches it
  -s N       line speed written into the log (50..115200)
  -c         no carrier detect: the line is never lost by DCD (3-wire cable)
  -t         carrier is lost at the first hang-up signal (SIGHUP), not by DCD
  -h         no flow control (3-wire cable: no RTS/CTS, no XON/XOFF)
  -H         software flow control: XON/XOFF, no RTS/CTS (default: RTS/CTS)
  -C         printable link: base-85 text both ways, for lines that pass text
  --escape LIST  escape these bytes both ways (as -H does XON/XOFF): values
             as 0x1D or 29, and the presets telnet (CR XON XOFF 0x1D 0xFF) and
             ssh (CR LF ~), separated by commas
  --plain    announce nothing: the basic protocol (no compression, no check,
             no echo check after the handshake)
  --fd N     door mode on descriptor N (terminal or socket), not stdin/stdout
  --door32 FILE  door mode on the descriptor a DOOR32.SYS names (line 2)
  --telnet   speak telnet on the line (a door handed the caller's socket)
  -v LETTER  link profile T, S, C, M, L or H (default; largest blocks and
             window); two ends settle on the smaller
  -D, -F     accepted, no effect
Names and requests:
  -u         names after it are files to send (the default)
  -d         names after it are local names for incoming files, in order; a
             first directory is where incoming files are stored (made if
             missing)
  -U         names after it are files to request from the peer; * and ? are
             served by a -r peer (regular files, no dot files, 1000 at most)
  -r         serve the peer's requests        -j  refuse every offered file
  -k         no wildcards: names with * or ? are neither sent nor served
Existing and partial files:
  -w         no resume: a shorter existing file is not continued, an equal
             one not skipped as already transferred
  -o         overwrite an existing file instead of refusing the offer (two
             kestro ends: only once the new file is confirmed)
  -R         keep an existing file; store the new one as NAME.0, NAME.1, ...
  -x         delete a file that was received incompletely
  -y         delete each sent file the peer confirmed, if it is unchanged
Log, bell, end of the run:
  -z FILE    transfer log, one line per file   -X  log refused files too
  -q         no bell (the peer is told)
  -E N       end by itself when all is transferred and N seconds (0..600)
             passed without transfer activity
  -e N       end by itself only after N seconds (0..600) without a chat line
             typed here (above 600: end at once, code 0)
  --no-compress  never compress file data (two kestro ends compress it
             with zstd unless either says no; text moves several times faster)
  --recursive DIR  send DIR whole: every file under it with its path below
             DIR's parent, empty directories too (a peer that keeps no
             directories gets the files under their base names); with -r,
             the peer may also request a directory of ours as a tree
  --times, --no-times  a received file gets the sender's modification time
             (the default in device mode), or keeps the time it was written
             (the default in door mode)
  --progress door mode: a status line once a second on standard error
  --help     this text              --version  name and version

Two kestro ends check every file whole: the offer carries its XXH3 digest
(and 64-bit sizes: files past 2 GiB go too), the data end with that digest
once more, and a file is confirmed only when the receiver's digest of it is
the same. One that differs (or changed while it was sent) is put back as
it was, sent once more, then ends "File check failed". A shorter local file
is resumed only onto the sender's own first bytes, an equal one skipped only
when its digest matches; otherwise the name is taken (-o, -R). Toward any
other peer resume trusts sizes and a file past 2 GiB is refused.

Keys (device mode): Ctrl+A help, Ctrl+U names to send, Ctrl+D names to
request, Enter send the line, Ctrl+Y yell, Ctrl+N bell on/off, Ctrl+L redraw,
Ctrl+X exit at once (code 0); Left, Right and Backspace edit the line.

Exit codes: 0 nothing outstanding (or Ctrl+X); 1 downloads outstanding (a
request not served too), or an option lacks its argument; 2 uploads
outstanding; 3 both; 10 a list file
cannot be opened; 20 the port cannot be opened, locked or set up, or the
terminal cannot show the display; 30 a bad option or value.

Examples:
  kestro -p /dev/ttyUSB0 --speed 115200 -z kestro.log report.zip notes.txt
  kestro -s 38400 -E 30 -z /bbs/kestro.log /bbs/files/new.zip -d /bbs/upload/
(the second as a door run by a bulletin-board system). More: man kestro.
)";

bool is_word(const char* word, const char* text) { return strcmp(word, text) == 0; }

}  // namespace

int answer_info_option(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (is_word(argv[i], "--help")) {
            fputs(usage_text, stdout);
            return 0;
        }
        if (is_word(argv[i], "--version")) {
            fputs(version_text, stdout);
            return 0;
        }
    }
    return -1;
}

void option_reason(const char* word, const char* reason) {
    // The run ends before the line is used, so even a door's standard error hears it; a
    // word that is no text is shown without its control characters.
    char shown[128];
    printable_name(shown, sizeof shown, word);
    char text[512];
    int length = snprintf(text, sizeof text, "kestro: %s: %s\n", shown, reason);
    if (length <= 0) return;
    if (length >= static_cast<int>(sizeof text)) length = static_cast<int>(sizeof text) - 1;
    fflush(stdout);
    ssize_t ignored = write(2, text, static_cast<size_t>(length));
    (void)ignored;
}

void print_help_hint() {
    fflush(stdout);
    fputs("Try 'kestro --help'.\n", stderr);
}
