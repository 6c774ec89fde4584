#include "control/startup.h"

#include <cstdlib>

#include "app/linkfile.h"
#include "live/runner.h"
#include "net/download.h"
#include "net/http.h"
#include "sys/stop.h"
#include "text/charset.h"
#include "text/strings.h"

namespace vigilo {

Notice parseNotice(const std::string& text) {
    Notice notice;
    notice.version = textBetween(text, "版本号【", "】");
    notice.state = textBetween(text, "运营状态【", "】");
    notice.announcement = textBetween(text, "公告栏【", "】");
    notice.updateAddress = textBetween(text, "更新软件地址【", "】");
    return notice;
}

std::string ownVersion() { return VIGILO_VERSION; }

std::string noticeUrlFromEnvironment() {
    const char* url = std::getenv("VIGILO_NOTICE_URL");
    return url ? std::string(url) : std::string();
}

namespace {

std::string fetchNotice(const std::string& url) {
    HttpRequestOptions options;
    options.url = url;
    options.method = HttpMethod::Get;
    options.noRedirect = false;  // the share link leads to the file through redirects
    const HttpResult result = ScriptableHttpClient::send(options);
    return bodyToText(result.body);
}

}  // namespace

StartupResult startUp(AppContext& ctx, const std::string& noticeUrl) {
    StartupResult result;
    // What an earlier run that was killed left half-downloaded would never be finished.
    removeStalePartFiles(ctx.paths.dataDir);
    if (!noticeUrl.empty()) {
        // No answer, a failed request or a notice without its state all stop the program.
        result.notice = parseNotice(fetchNotice(noticeUrl));
        // Asked to stop (the program is closing): no notice came, and nobody is left to tell.
        if (stopRequested()) {
            result.ending = StartupEnding::Stopped;
            return result;
        }
        const Notice& notice = result.notice;
        if (notice.state != "运营中") {
            ctx.ui.messageBox("软件因为各种原因停止更新，感谢您对本软件的支持！", "", MessageIcon::None);
            result.ending = StartupEnding::Stopped;
            return result;
        }
        if (!notice.announcement.empty()) ctx.ui.messageBox(notice.announcement, "Vigilo", MessageIcon::None);
        if (notice.version.empty()) {
            result.ending = StartupEnding::NoVersion;
            return result;
        }
        if (notice.version != ownVersion()) {
            ctx.ui.messageBox("软件有更新！", "", MessageIcon::None);
            result.ending = StartupEnding::Update;
            return result;
        }
    }
    result.linkBox1 = readLinkFile(ctx.paths.linkFile1());
    result.linkBox2 = readLinkFile(ctx.paths.linkFile2());
    result.ending = StartupEnding::Normal;
    ctx.markStarted();
    return result;
}

bool startUpdateBuild(const std::string& file, std::string* why) {
    RunRequest request;
    request.program = file;
    request.ownSession = true;
    request.wait = false;
    const RunResult run = runProgram(request);
    if (!run.started && why != nullptr) *why = run.collectedOutput;
    return run.started;
}

}  // namespace vigilo
