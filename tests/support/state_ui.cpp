#include "support/state.h"
#include "ui/screen.h"

void reset_all_state() {
    screen = screen_state{};
    reset_up_to_session();
}
