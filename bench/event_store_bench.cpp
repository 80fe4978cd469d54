// The event store on a real file: what one event costs to write (its start, three better
// scores and its end, each a committed transaction, as the camera threads write them), and
// what a filtered page costs over 100 000 stored events, as the page's API asks for them.
//
//   build/bench/event_store_bench [--benchmark_filter=...]
// The file goes to the temporary folder (TMPDIR); the 100 000 events are made once per run.
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>

#include <benchmark/benchmark.h>

#include "store/event_store.h"
#include "web/event_table.h"

namespace fs = std::filesystem;
using namespace weapon_detect;

namespace {

constexpr int kStored = 100000;
constexpr long long kFirstStart = 1765436400000;

fs::path Scratch(const std::string& name) {
    const fs::path dir = fs::temp_directory_path() / ("event_store_bench_" + std::to_string(getpid()) + "_" + name);
    fs::remove_all(dir);
    fs::create_directories(dir);
    return dir;
}

void WriteOneEvent(benchmark::State& state) {
    const fs::path dir = Scratch("write");
    {
        EventTable table(std::make_unique<EventStore>((dir / "events.db").string()));
        AlarmEvent event;
        event.className = "pistol";
        long long frame = 0;
        for (auto _ : state) {
            event.firstFrame = frame += 100;
            event.bestConfidence = 0.5f;
            table.Update("cam1", event, "start", nullptr, "", (dir / "cam1.mp4").string());
            for (int i = 0; i < 3; ++i) {
                event.bestConfidence += 0.1f;
                table.Update("cam1", event, "update", nullptr, "", "");
            }
            table.Update("cam1", event, "end", nullptr, (dir / "cam1.jpg").string(), "");
        }
        state.SetItemsProcessed(state.iterations());
    }
    fs::remove_all(dir);
}
BENCHMARK(WriteOneEvent)->Unit(benchmark::kMicrosecond);

// 100 000 events over 8 cameras and 3 classes, one a minute; every tenth acknowledged. Made
// once, removed at the end of the run.
struct Stored {
    Stored() : dir(Scratch("query")), store(std::make_unique<EventStore>((dir / "events.db").string())) {
        const char* classes[] = {"pistol", "rifle", "knife"};
        for (int i = 0; i < kStored; ++i) {
            StoredEvent e;
            e.camera = "cam" + std::to_string(i % 8);
            e.className = classes[i % 3];
            e.state = "ended";
            e.startMs = kFirstStart + i * 60000LL;
            e.endMs = e.startMs + 5000;
            e.updatedMs = *e.endMs;
            e.snapshot = e.camera + "_" + std::to_string(i) + ".jpg";
            e.clip = e.camera + "_" + std::to_string(i) + ".mp4";
            e.clipState = "ready";
            const long long id = store->Insert(e);
            if (i % 10 == 0) store->Ack(id, "guard", *e.endMs);
        }
    }
    ~Stored() {
        store.reset();
        fs::remove_all(dir);
    }
    fs::path dir;
    std::unique_ptr<EventStore> store;
};

class StoredEvents : public benchmark::Fixture {
public:
    void SetUp(const benchmark::State&) override {
        static Stored stored;
        store_ = stored.store.get();
    }

protected:
    EventStore* store_ = nullptr;
};

void RunQuery(benchmark::State& state, const EventStore& store, EventQuery query) {
    size_t rows = 0;
    for (auto _ : state) {
        const EventPage page = store.Query(query);
        rows = page.events.size();
        benchmark::DoNotOptimize(page.total);
    }
    state.counters["rows"] = static_cast<double>(rows);
}

BENCHMARK_F(StoredEvents, NewestPage)(benchmark::State& state) { RunQuery(state, *store_, {}); }

BENCHMARK_F(StoredEvents, CameraAndClassPage)(benchmark::State& state) {
    EventQuery q;
    q.camera = "cam3";
    q.className = "rifle";
    RunQuery(state, *store_, q);
}

BENCHMARK_F(StoredEvents, UnacknowledgedInADayPagedDeep)(benchmark::State& state) {
    EventQuery q;
    q.unacknowledged = true;
    q.sinceMs = kFirstStart + 50000 * 60000LL;
    q.untilMs = q.sinceMs.value() + 86400000LL;
    q.before = 50000 + 1000;  // a later page
    RunQuery(state, *store_, q);
}

BENCHMARK_F(StoredEvents, OneCameraDeepPage)(benchmark::State& state) {
    EventQuery q;
    q.camera = "cam5";
    q.before = 20000;
    RunQuery(state, *store_, q);
}

}  // namespace

BENCHMARK_MAIN();
