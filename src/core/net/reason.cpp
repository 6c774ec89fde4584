#include "net/reason.h"

#include <cerrno>

namespace vigilo::net {

namespace {

FailureKind kindOfCode(CURLcode code) {
    switch (code) {
        case CURLE_OPERATION_TIMEDOUT: return FailureKind::TimedOut;
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_RESOLVE_PROXY:
        case CURLE_COULDNT_CONNECT:
        case CURLE_GOT_NOTHING:
        case CURLE_SEND_ERROR:
        case CURLE_RECV_ERROR:
        case CURLE_HTTP2:
        case CURLE_HTTP2_STREAM: return FailureKind::NoConnection;
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_CERTPROBLEM:
        case CURLE_SSL_CIPHER:
        case CURLE_SSL_CACERT_BADFILE:
        case CURLE_SSL_ENGINE_NOTFOUND:
        case CURLE_SSL_ENGINE_SETFAILED:
        case CURLE_SSL_ENGINE_INITFAILED:
        case CURLE_SSL_SHUTDOWN_FAILED:
        case CURLE_SSL_CRL_BADFILE:
        case CURLE_SSL_ISSUER_ERROR:
        case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
        case CURLE_SSL_INVALIDCERTSTATUS:
        case CURLE_USE_SSL_FAILED: return FailureKind::Tls;
        case CURLE_PARTIAL_FILE: return FailureKind::ShortBody;
        case CURLE_FILESIZE_EXCEEDED: return FailureKind::TooLarge;
        // A write error or an abort is the caller's own refusal: it knows the kind.
        default: return FailureKind::Other;
    }
}

}  // namespace

FailureKind failureKind(const ExchangeOutcome& outcome) {
    if (outcome.ok()) return outcome.status >= 400 ? FailureKind::HttpStatus : FailureKind::None;
    if (outcome.failure != FailureKind::None) return outcome.failure;
    if (outcome.failedStage == Stage::Transfer) return kindOfCode(outcome.code);
    return FailureKind::Other;
}

FailureKind transferFailureKind(CURLcode code) { return kindOfCode(code); }

FailureKind failureKindOfWriteError(int error) {
    switch (error) {
        case 0: return FailureKind::None;
        case ENOSPC:
        case EDQUOT:
        case EFBIG: return FailureKind::DiskFull;
        default: return FailureKind::Other;
    }
}

std::string failureReasonZh(FailureKind kind, long status) {
    switch (kind) {
        case FailureKind::None: return "成功";
        case FailureKind::TimedOut:
        case FailureKind::Stalled: return "超时";
        case FailureKind::NoConnection: return "无法连接";
        case FailureKind::Tls: return "安全连接失败";
        case FailureKind::HttpStatus: return "服务器返回 " + std::to_string(status);
        case FailureKind::NotVideo: return "返回的是网页而不是视频";
        case FailureKind::ShortBody: return "内容不完整";
        case FailureKind::DiskFull: return "磁盘空间不足";
        case FailureKind::TooLarge:
        case FailureKind::HeadersTooLarge: return "文件过大";
        case FailureKind::Stopped: return "已停止";
        case FailureKind::BudgetSpent:
        case FailureKind::Aborted:
        case FailureKind::Other: return "请求失败";
    }
    return "请求失败";
}

std::string failureReasonZh(const ExchangeOutcome& outcome) {
    return failureReasonZh(failureKind(outcome), outcome.status);
}

std::string failureReasonZh(long httpStatus, int transportCode) {
    if (transportCode != 0) {
        const FailureKind kind = kindOfCode(static_cast<CURLcode>(transportCode));
        if (kind == FailureKind::Other) return "网络错误";
        return failureReasonZh(kind);
    }
    if (httpStatus >= 400 || (httpStatus != 0 && httpStatus < 200))
        return failureReasonZh(FailureKind::HttpStatus, httpStatus);
    return "应答无法使用";
}

}  // namespace vigilo::net
