// The keyboard commands.
//
// Interface summary:
//   handle_key ()              reads and handles one key
//   handle_key_code (key)      handles a key already read (ERR: nothing)
//   set_input_mode (mode), toggle_beeper ()
#pragma once

void handle_key();
void handle_key_code(int key);
void set_input_mode(int mode);
void toggle_beeper();
