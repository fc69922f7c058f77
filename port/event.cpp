// Event library: waits registered on a tag, released by evDo, run by
// evMainLoop in the caller's thread.
#include <list>
#include <mutex>

#include "port/varro.h"

struct ev_context {
    struct Wait {
        const void *tag;
        evWaitFunc func;
        void *uap;
        bool released;
    };
    std::mutex mutex;
    std::list<Wait> waits;
};

evContext *evCreate(void) { return new (std::nothrow) ev_context; }

void evDestroy(evContext *ctx) { delete ctx; }

int evWaitFor(evContext *ctx, const void *tag, evWaitFunc func, void *uap) {
    if (!ctx || !func) return -1;
    try {
        std::lock_guard<std::mutex> lk(ctx->mutex);
        ctx->waits.push_back({tag, func, uap, false});
    } catch (...) {
        return -1;
    }
    return 0;
}

int evDo(evContext *ctx, const void *tag) {
    if (!ctx) return -1;
    std::lock_guard<std::mutex> lk(ctx->mutex);
    int n = 0;
    for (auto &w : ctx->waits)
        if (w.tag == tag && !w.released) {
            w.released = true;
            ++n;
        }
    return n;
}

int evMainLoop(evContext *ctx) {
    if (!ctx) return -1;
    for (;;) {
        ev_context::Wait w{};
        {
            std::lock_guard<std::mutex> lk(ctx->mutex);
            auto it = ctx->waits.begin();
            while (it != ctx->waits.end() && !it->released) ++it;
            if (it == ctx->waits.end()) return 0;
            w = *it;
            ctx->waits.erase(it);
        }
        // Run outside the lock: a handler may register the next wait.
        w.func(ctx, w.uap, w.tag);
    }
}
