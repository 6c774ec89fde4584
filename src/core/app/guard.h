#pragma once
#include <string>

#include "app/ui.h"

namespace vigilo {

// Marks the running instance with a lock on a file named by the lower-case MD5 hex of the GBK
// bytes of the seed text, in $XDG_RUNTIME_DIR (else /tmp). The kernel drops the lock when the
// process ends, however it ends. Returns true in the first instance (the lock is then held
// for the rest of the process); otherwise shows `message` with the caption "友情提醒:" and
// returns false, and the caller exits with code 0. Start-up passes "软件已启动！".
bool guardSingleInstance(UserInterface& ui, const std::string& name = "",
                         const std::string& message = "对不起,该进程已打开!");

std::string instanceName();  // md5 of the seed's GBK bytes

// Gives the mark up before the process ends, so a program it starts (the update) can take it.
void releaseSingleInstance(const std::string& name = "");

// Takes the mark without telling anyone; true when this process holds it afterwards (also when
// no mark can be made, as the guard lets a copy run then). Used to take it back when the
// program that was to take over did not start.
bool holdSingleInstance(const std::string& name = "");

}  // namespace vigilo
