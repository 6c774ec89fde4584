#pragma once
// What happens between launch and the moment the main window waits for the user, after the
// single-instance guard: own version, the update notice and its endings, the link boxes.
// Blocking (network): front ends run it off the UI thread.
#include <string>

#include "app/context.h"

namespace vigilo {

struct Notice {
    std::string version;        // "版本号【" … "】"
    std::string state;          // "运营状态【" … "】"
    std::string announcement;   // "公告栏【" … "】"
    std::string updateAddress;  // "更新软件地址【" … "】"
};
Notice parseNotice(const std::string& text);

enum class StartupEnding {
    Normal,     // link boxes restored, monitors usable
    Stopped,    // the notice stops the program (message shown), close
    NoVersion,  // the notice has no version, close silently
    Update,     // "软件有更新！" shown; hand over to the updater with notice.updateAddress
};

struct StartupResult {
    StartupEnding ending = StartupEnding::Normal;
    Notice notice;
    std::string linkBox1;  // UTF-8 text for the works link box
    std::string linkBox2;  // for the live link box
};

std::string ownVersion();                // compiled in, "1.0.0.0"
std::string noticeUrlFromEnvironment();  // VIGILO_NOTICE_URL, "" when unset

// With an empty notice URL the notice check is skipped and start-up ends normally. Messages
// (stop message, announcement with caption "Vigilo", "软件有更新！") go through ctx.ui.
// On the normal ending ctx.started is set.
StartupResult startUp(AppContext& ctx, const std::string& noticeUrl);

// Starts the downloaded build through the process runner, in its own session and without
// waiting for it; what the updater is given to hand over with.
bool startUpdateBuild(const std::string& file, std::string* why);

}  // namespace vigilo
