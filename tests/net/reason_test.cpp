// What an exchange's failure is called in the Chinese log.
#include <gtest/gtest.h>

#include <cerrno>

#include "net/reason.h"

namespace vigilo::net {
namespace {

TEST(FailureReason, EachOutcomeHasOneKindAndShortChineseWords) {
    struct Case {
        const char* name;
        ExchangeOutcome outcome;
        FailureKind kind;
        std::string words;
    };
    auto transfer = [](CURLcode code) {
        ExchangeOutcome o;
        o.failedStage = Stage::Transfer;
        o.code = code;
        o.error = "curl says so";
        return o;
    };
    auto answered = [](long status) {
        ExchangeOutcome o;
        o.status = status;
        return o;
    };
    // A cause the exchange saw itself, beside the code libcurl ended with.
    auto flagged = [&](FailureKind cause, CURLcode code) {
        ExchangeOutcome o = transfer(code);
        o.failure = cause;
        return o;
    };
    ExchangeOutcome badUrl;
    badUrl.failedStage = Stage::Url;
    const Case cases[] = {
        {"ok", answered(200), FailureKind::None, "成功"},
        {"redirect kept", answered(302), FailureKind::None, "成功"},
        {"not found", answered(404), FailureKind::HttpStatus, "服务器返回 404"},
        {"server error", answered(503), FailureKind::HttpStatus, "服务器返回 503"},
        {"time-out", transfer(CURLE_OPERATION_TIMEDOUT), FailureKind::TimedOut, "超时"},
        {"stalled", flagged(FailureKind::Stalled, CURLE_OPERATION_TIMEDOUT), FailureKind::Stalled, "超时"},
        {"refused", transfer(CURLE_COULDNT_CONNECT), FailureKind::NoConnection, "无法连接"},
        {"no such host", transfer(CURLE_COULDNT_RESOLVE_HOST), FailureKind::NoConnection, "无法连接"},
        {"reset", transfer(CURLE_RECV_ERROR), FailureKind::NoConnection, "无法连接"},
        {"nothing", transfer(CURLE_GOT_NOTHING), FailureKind::NoConnection, "无法连接"},
        {"certificate", transfer(CURLE_PEER_FAILED_VERIFICATION), FailureKind::Tls, "安全连接失败"},
        {"handshake", transfer(CURLE_SSL_CONNECT_ERROR), FailureKind::Tls, "安全连接失败"},
        {"short body", transfer(CURLE_PARTIAL_FILE), FailureKind::ShortBody, "内容不完整"},
        {"too large", flagged(FailureKind::TooLarge, CURLE_WRITE_ERROR), FailureKind::TooLarge, "文件过大"},
        {"headers too large", flagged(FailureKind::HeadersTooLarge, CURLE_WRITE_ERROR), FailureKind::HeadersTooLarge,
         "文件过大"},
        {"stopped", flagged(FailureKind::Stopped, CURLE_ABORTED_BY_CALLBACK), FailureKind::Stopped, "已停止"},
        {"budget", flagged(FailureKind::BudgetSpent, CURLE_WRITE_ERROR), FailureKind::BudgetSpent, "请求失败"},
        {"aborted by the caller", flagged(FailureKind::Aborted, CURLE_WRITE_ERROR), FailureKind::Aborted, "请求失败"},
        {"refused address", badUrl, FailureKind::Other, "请求失败"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(failureKind(c.outcome), c.kind);
        EXPECT_EQ(failureReasonZh(c.outcome), c.words);
    }
    // The kinds only the download and the disk know.
    EXPECT_EQ(failureReasonZh(FailureKind::NotVideo), "返回的是网页而不是视频");
    EXPECT_EQ(failureKindOfWriteError(ENOSPC), FailureKind::DiskFull);
    EXPECT_EQ(failureKindOfWriteError(EDQUOT), FailureKind::DiskFull);
    EXPECT_EQ(failureKindOfWriteError(EACCES), FailureKind::Other);
    EXPECT_EQ(failureReasonZh(FailureKind::DiskFull), "磁盘空间不足");
}

}  // namespace
}  // namespace vigilo::net
