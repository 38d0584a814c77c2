#include "falloff/apply_update.h"

#include "common/fixed.h"
#include "common/text.h"
#include "log/log.h"
#include "state/state.h"

namespace mv {

void apply_update(UpdateKind kind, std::string_view payload, uint32_t now_ms) noexcept {
    SpeakerTable *table = speaker_table_spare();
    build_speaker_table(*table, kind, payload);

    g_state.speakers.store(table);

    bool gate_open = false;
    {
        platform::LockGuard guard(g_state.lock);
        gate_open = update_log_gate_open(g_state.last_update_log_ms, now_ms);
        if (gate_open) g_state.last_update_log_ms = now_ms;
    }
    // A published table is not written again before this writer's next
    // update, so its first rows serve as the log's snapshot without a copy.
    const size_t total = table->count;
    const size_t snapshot_rows =
        gate_open ? (total < kUpdateLogSnapshotRows ? total : kUpdateLogSnapshotRows) : 0;
    const SpeakerState *snapshot = table->rows;

    file_log("received %s with %zu speakers", update_kind_name(kind), total);
    for (size_t i = 0; i < snapshot_rows; ++i)
        file_log("update_state alias=%s gain=%s pan=%s%s%s%s%s", displayed_alias(snapshot[i].alias),
                 fixed(snapshot[i].gain, 4).text, fixed(snapshot[i].pan, 4).text,
                 snapshot[i].muffle > 0.0f ? " muffle=" : "",
                 snapshot[i].muffle > 0.0f ? fixed(snapshot[i].muffle, 4).text : "",
                 snapshot[i].radio > 0.0f ? " radio=" : "",
                 snapshot[i].radio > 0.0f ? fixed(snapshot[i].radio, 4).text : "");
    if (snapshot_rows > 0 && total > snapshot_rows)
        file_log("update_state omitted=%zu", total - snapshot_rows);
}

void clear_speakers() noexcept {
    clear_speaker_table();
}

} // namespace mv
