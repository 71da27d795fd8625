// Fuzzes the frame router. Input layout:
//   byte 0            number of operations n (taken modulo 9)
//   n x 3 bytes       start, stop, flags: bit 0 subscribe with a callback (else without), bit 1
//                     unsubscribe the pair again after the first chunk, bit 2 a second
//                     subscription of the pair (the stuck-pair case when bit 1 is set too)
//   rest              chunks, each a length byte followed by that many bytes (the last chunk
//                     takes what is left); a length of 255 stands for a 64 KiB run of the next byte
// Checks: every delivered frame starts with a subscribed start byte, ends with a byte of its
// stop list, holds no earlier byte of that list, and the buffer stays within its bound.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "service/links/frame_router.h"

namespace {

struct Model {
    std::vector<std::uint8_t> stops[256];
};

struct Context {
    const Model* model;
    std::size_t frames = 0;
};

void Check(bool ok) {
    if (!ok) {
        std::abort();
    }
}

bool InList(const std::vector<std::uint8_t>& list, std::uint8_t b) {
    for (std::uint8_t s : list) {
        if (s == b) {
            return true;
        }
    }
    return false;
}

int OnFrame(void* p, const std::string& frame) {
    auto* context = static_cast<Context*>(p);
    Check(frame.size() >= 2 &&
          frame.size() <= talvex::CFrameRouter::kMaxBuffered + talvex::CFrameRouter::kSliceSize);
    const auto& list = context->model->stops[static_cast<std::uint8_t>(frame.front())];
    Check(!list.empty());
    Check(InList(list, static_cast<std::uint8_t>(frame.back())));
    for (std::size_t i = 1; i + 1 < frame.size(); ++i) {
        Check(!InList(list, static_cast<std::uint8_t>(frame[i])));
    }
    ++context->frames;
    return static_cast<int>(frame.size() & 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    talvex::CFrameRouter router;
    Model model;
    Context context{&model};
    std::size_t pos = 1;
    const std::size_t ops = data[0] % 9;
    struct Later {
        std::uint8_t start, stop;
    };
    std::vector<Later> unsubscribe;
    for (std::size_t i = 0; i < ops && pos + 3 <= size; ++i, pos += 3) {
        const std::uint8_t start = data[pos], stop = data[pos + 1], flags = data[pos + 2];
        const int times = (flags & 4) != 0 ? 2 : 1;
        for (int t = 0; t < times; ++t) {
            router.Subscribe(start, stop, &context, (flags & 1) != 0 ? &OnFrame : nullptr);
            model.stops[start].push_back(stop);
        }
        if ((flags & 2) != 0) {
            unsubscribe.push_back({start, stop});
        }
    }
    bool first = true;
    while (pos < size) {
        std::size_t length = data[pos++];
        std::string chunk;
        if (length == 255 && pos < size) {
            chunk.assign(64 * 1024, static_cast<char>(data[pos++]));
        } else {
            length = std::min(length, size - pos);
            chunk.assign(reinterpret_cast<const char*>(data + pos), length);
            pos += length;
        }
        router.Dispatch(chunk);
        Check(router.Buffered() <= talvex::CFrameRouter::kMaxBuffered);
        if (first) {
            first = false;
            for (const Later& u : unsubscribe) {
                router.Unsubscribe(u.start, u.stop);
                auto& list = model.stops[u.start];
                for (auto it = list.begin(); it != list.end(); ++it) {
                    if (*it == u.stop) {
                        list.erase(it);
                        break;
                    }
                }
            }
        }
    }
    return 0;
}
