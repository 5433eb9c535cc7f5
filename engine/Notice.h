#pragma once

#include <QString>
#include <functional>

// The engine has no widgets; a notice for the user goes to a handler the
// front end installs (the wizard shows a message box). Without one it goes
// to Qt's warning output.
using NoticeHandler = std::function<void(const QString &title, const QString &text)>;

void SetNoticeHandler(NoticeHandler handler);
void ShowNotice(const QString &title, const QString &text);
