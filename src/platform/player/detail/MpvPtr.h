#pragma once
// One owner type per libmpv object. A render context must be freed before the core it
// belongs to, so holders declare the core first and the render context after it.
#include <memory>

#include <mpv/client.h>
#include <mpv/render.h>

namespace trimwell {

struct MpvCoreDestroy {
    void operator()(mpv_handle* h) const { mpv_terminate_destroy(h); }
};
struct MpvRenderFree {
    void operator()(mpv_render_context* c) const { mpv_render_context_free(c); }
};

using MpvCorePtr = std::unique_ptr<mpv_handle, MpvCoreDestroy>;
using MpvRenderPtr = std::unique_ptr<mpv_render_context, MpvRenderFree>;

// The result of mpv_command_ret, released however the caller leaves.
struct MpvNodeResult {
    mpv_node node{};
    MpvNodeResult() = default;
    MpvNodeResult(const MpvNodeResult&) = delete;
    MpvNodeResult& operator=(const MpvNodeResult&) = delete;
    ~MpvNodeResult() { mpv_free_node_contents(&node); }
};

} // namespace trimwell
