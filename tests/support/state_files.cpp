#include <initializer_list>

#include "files/lists.h"
#include "support/state.h"

void reset_up_to_files() {
    for (file_queue* q : {&files.upload_queue, &files.request_queue, &files.receive_names})
        queue_free_all(q);
    dir_list_free_all(&files.upload_dirs);
    dir_list_free_all(&files.extra_dirs);
    files = files_state{};
    reset_up_to_link();
}
