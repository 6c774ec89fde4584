#include "net/reason.h"

#include <curl/curl.h>

namespace vigilo {

std::string failureReasonZh(int httpStatus, int transportCode, const std::string& detail) {
    switch (transportCode) {
        case 0: break;
        case CURLE_OPERATION_TIMEDOUT: return "超时";
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_RESOLVE_PROXY:
        case CURLE_COULDNT_CONNECT: return "无法连接";
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_CERTPROBLEM:
        case CURLE_SSL_CIPHER:
        case CURLE_SSL_CACERT_BADFILE: return "安全连接失败";
        case CURLE_RECV_ERROR:
        case CURLE_SEND_ERROR:
        case CURLE_GOT_NOTHING:
        case CURLE_PARTIAL_FILE: return "连接中断";
        case CURLE_ABORTED_BY_CALLBACK: return "已停止";
        default: return "网络错误";
    }
    if (httpStatus != 0 && (httpStatus < 200 || httpStatus > 299)) return "服务器返回 " + std::to_string(httpStatus);
    if (httpStatus == 0 && !detail.empty()) return "网络错误";
    return "应答无法使用";
}

}  // namespace vigilo
