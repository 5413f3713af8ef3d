#include "session/results.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "files/names.h"
#include "files/paths.h"
#include "session/display.h"

results_state results;

bool is_done_heading(const char* heading) {
    return heading == HEADING_SENT || heading == HEADING_RECEIVED;
}

// One line per file: a later outcome of the same name takes its line, except that a file
// once completed stays so (offered again and found at the peer, it was still sent).
void note_file(const char* name, const char* reason, const char* heading) {
    char shown[NOTED_NAME_SIZE];
    printable_name(shown, sizeof shown, name);  // cut to fit, never inside a character
    noted_file* n = nullptr;
    for (int i = 0; i < results.noted_count && n == nullptr; ++i)
        if (strcmp(results.noted[i].name, shown) == 0) n = &results.noted[i];
    if (n != nullptr && is_done_heading(n->heading) && !is_done_heading(heading)) return;
    if (n == nullptr && results.noted_count == MAX_NOTED) {
        ++(is_done_heading(heading) ? results.unlisted_done : results.unlisted_count);
        return;
    }
    if (n == nullptr) n = &results.noted[results.noted_count++];
    snprintf(n->name, sizeof n->name, "%s", shown);
    printable_name(n->reason, sizeof n->reason, reason);
    n->heading = heading;
}

// The system's reason remembered for a failed file, or null.
const char* remembered_reason(const char* name) {
    for (int back = 1; back <= MAX_REASONS; ++back) {
        const file_reason& r =
            results.reasons[(results.reason_next + MAX_REASONS - back) % MAX_REASONS];
        if (r.name[0] != '\0' && strcmp(r.name, name) == 0) return r.reason;
    }
    return nullptr;
}

void remember_reason(const char* name, const char* reason) {
    file_reason& r = results.reasons[results.reason_next];
    results.reason_next = (results.reason_next + 1) % MAX_REASONS;
    snprintf(r.name, sizeof r.name, "%s", name);
    snprintf(r.reason, sizeof r.reason, "%s", reason);
}

void note_file_done(const file_entry* entry, bool received) {
    // A received file is named as the peer offered it; where it went, when that differs.
    const char* offered = received ? entry_alias(entry) : "";
    const char* name = offered[0] != '\0' ? offered : entry->name;
    char extra[NOTED_REASON_SIZE] = "";
    int n = 0;
    if (strcmp(name, entry->name) != 0)
        n = snprintf(extra, sizeof extra, "stored as %.120s", entry->name);
    if (entry->offset > 0 && n >= 0 && static_cast<size_t>(n) < sizeof extra)
        snprintf(extra + n, sizeof extra - static_cast<size_t>(n), "%sresumed at %" PRId64 " bytes",
                 n > 0 ? ", " : "", entry->offset);
    char detail[PATH_SIZE + NOTED_REASON_SIZE];
    snprintf(detail, sizeof detail, "%s%s%s", name, extra[0] != '\0' ? ", " : "", extra);
    display.info(received ? "File received" : "File sent", detail);
    note_file(name, extra, received ? HEADING_RECEIVED : HEADING_SENT);
}
