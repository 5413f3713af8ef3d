// Whether the terminal can run the display, asked of terminfo before anything is drawn:
// curses itself would only find out in initscr, and end the process there.
// A file of its own: term.h defines names such as `columns` and `lines` as macros.
#include <cstdio>
#include <cstdlib>

#include "ui/screen.h"

// Last: after it, `lines`, `columns` and many more names are terminfo's macros.
#include <term.h>

bool screen_usable(char* why, size_t size) {
    const char* type = getenv("TERM");
    if (type == nullptr || type[0] == '\0') {
        snprintf(why, size, "TERM is not set");
        return false;
    }
    int error = 0;
    // Descriptor 1, as initscr will use it: its size, or LINES and COLUMNS, or terminfo's.
    if (setupterm(nullptr, 1, &error) != OK) {
        if (error == 0)
            snprintf(why, size, "terminal type '%s' is not known to curses", type);
        else
            snprintf(why, size, "no terminal descriptions found for '%s'", type);
        return false;
    }
    const char* move = tigetstr(const_cast<char*>("cup"));
    bool addressable = move != nullptr && move != reinterpret_cast<char*>(-1);
    int width = tigetnum(const_cast<char*>("cols"));
    int height = tigetnum(const_cast<char*>("lines"));
    del_curterm(cur_term);
    if (!addressable) {
        snprintf(why, size, "terminal type '%s' cannot move the cursor", type);
        return false;
    }
    if (width < screen_min_columns || height < screen_min_lines) {
        snprintf(why, size, "the terminal has %d columns and %d lines; the display needs %d by %d",
                 width, height, screen_min_columns, screen_min_lines);
        return false;
    }
    return true;
}
