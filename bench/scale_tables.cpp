#include "scale_tables.h"

#include <chrono>

namespace vigilo::bench {

void fillScaleTables(AppContext& ctx, int accounts, int rooms) {
    for (int i = 0; i < accounts; ++i) {
        const int row = ctx.accountTable.appendRow();
        const std::string n = std::to_string(100000 + i);
        ctx.accountTable.setCell(row, acol::Link, "https://v.douyin.com/b" + n + "/");
        ctx.accountTable.setCell(row, acol::Uid, "88" + n);
        ctx.accountTable.setCell(row, acol::SecUid, "MS4wLjABAAAAbenchScaleAccount" + n);
        ctx.accountTable.setCell(row, acol::ShortId, "55" + n);
        ctx.accountTable.setCell(row, acol::Nickname, "账号" + n);
        ctx.accountTable.setCell(row, acol::Followers, "1.2万");
        ctx.accountTable.setCell(row, acol::PostCount, "120");
        ctx.accountTable.setCell(row, acol::NewestDesc, "最新作品的描述 #" + n);
        ctx.accountTable.setCell(row, acol::Counter, "0");
        ctx.accountTable.setCell(row, acol::NewestId, "73000000000" + n);
    }
    for (int i = 0; i < rooms; ++i) {
        const int row = ctx.roomTable.appendRow();
        ctx.roomTable.setCell(row, rcol::Owner, "主播" + std::to_string(i));
        ctx.roomTable.setCell(row, rcol::RoomId, std::to_string(7100000000000000LL + i));
        ctx.roomTable.setCell(row, rcol::LiveStatus, "正在直播");
        ctx.roomTable.setCell(row, rcol::RecordStatus, "正在录制");
        ctx.roomTable.setCell(row, rcol::RecordSize, "0");
    }
}

std::string nowMsText() {
    using namespace std::chrono;
    return std::to_string(duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count());
}

CellDriver::CellDriver(AppContext& ctx, int accounts, int rooms, Step step)
    : ctx_(ctx), accounts_(accounts), rooms_(rooms), step_(std::move(step)) {
    thread_ = std::jthread([this](std::stop_token stop) {
        using namespace std::chrono;
        auto next = steady_clock::now();
        long step = 0;
        const std::size_t total = static_cast<std::size_t>(accounts_ + rooms_);
        while (!stop.stop_requested()) {
            next += milliseconds(100);
            std::this_thread::sleep_until(next);
            ++step;
            const int perStep = rate_.load() / 10;
            step_([this, perStep, step, total] {
                const std::string stamp = nowMsText();
                if (step % 10 == 0)
                    ctx_.status.setText(1, "距离下次查询还有" + std::to_string(60 - (step / 10) % 60) + "秒");
                for (int i = 0; i < perStep && total > 0; ++i, cursor_ = (cursor_ + 1) % total) {
                    if (cursor_ < static_cast<std::size_t>(accounts_))
                        ctx_.accountTable.setCell(static_cast<int>(cursor_), acol::Counter, stamp);
                    else
                        ctx_.roomTable.setCell(static_cast<int>(cursor_) - accounts_, rcol::RecordSize, stamp);
                }
            });
        }
    });
}

CellDriver::~CellDriver() { stop(); }

void CellDriver::stop() {
    thread_.request_stop();
    if (thread_.joinable()) thread_.join();
}

}  // namespace vigilo::bench
