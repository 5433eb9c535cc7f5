#pragma once

// What the wizard tests add to the test kit: a private home directory with a
// page or the whole wizard in it, typing, and answering the modal dialogs a
// user would answer.

#include "TestKit.h"

#include "wizard/ImagePosterWizard.h"

#include <QAbstractButton>
#include <QApplication>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QOffscreenSurface>
#include <QOpenGLContext>
#include <QPointer>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <dlfcn.h>
#include <link.h>
#include <optional>

// A fresh home directory, with an empty Pictures folder, for the life of the object.
class TemporaryHome {
public:
    TemporaryHome() : saved(qgetenv("HOME"))
    {
        qputenv("HOME", dir.path().toLocal8Bit());
        QDir(dir.path()).mkdir("Pictures");
    }
    ~TemporaryHome() { qputenv("HOME", saved); }
    QString path() const { return dir.path(); }
    QString in(const QString &name) const { return dir.path() + "/" + name; }

private:
    QTemporaryDir dir;
    QByteArray saved;
};

// What a page test works on, made afresh for each test function and row: a
// home of its own and a page on a record of its own.
template <class Page> struct PageInHome {
    TemporaryHome home;
    ImagePosterParameters params;   // after home: its defaults name folders in it
    Page page{&params};
};

// The same with the whole wizard, which keeps its own record.
struct WizardInHome {
    TemporaryHome home;
    ImagePosterWizard wizard;
    ImagePosterParameters &params = *wizard.parameters();
};

inline bool Shown(QWidget *widget)
{
    widget->show();
    return QTest::qWaitForWindowExposed(widget);
}

// For the README (scripts/screenshots.sh), with KVP_SCREENSHOT_DIR set.
inline void Photograph(QWidget &window, const QString &name)
{
    if (!qEnvironmentVariableIsEmpty("KVP_SCREENSHOT_DIR"))
        QVERIFY(window.grab().save(qEnvironmentVariable("KVP_SCREENSHOT_DIR") + "/" + name + ".png"));
}

inline void TypeAndReturn(QLineEdit *edit, const QString &text)
{
    edit->clear();
    QTest::keyClicks(edit, text);
    QTest::keyClick(edit, Qt::Key_Return);
}

// Calls answer with the next modal widget once it is up, from the event loop
// that runs it. Arm it before the action that opens the dialog; delete the
// returned timer to disarm it.
inline QPointer<QTimer> WhenModal(std::function<void(QWidget *)> answer)
{
    auto *timer = new QTimer;
    timer->setInterval(5);
    QObject::connect(timer, &QTimer::timeout, [timer, answer] {
        QWidget *modal = QApplication::activeModalWidget();
        if (!modal || !modal->isVisible())
            return;
        timer->stop();
        timer->deleteLater();
        answer(modal);
    });
    timer->start();
    return timer;
}

struct SeenBox {
    bool seen = false;
    QString title, text, detailedText;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    Qt::TextFormat textFormat = Qt::AutoText;
    bool hasWindowIcon = false;
    int width = 0;
};

// Records the next message box and presses its OK button; first runs while it is up.
inline QPointer<QTimer> AcceptNextMessageBox(SeenBox *seen, std::function<void()> first = {})
{
    return WhenModal([seen, first](QWidget *widget) {
        if (first)
            first();
        if (auto *box = qobject_cast<QMessageBox *>(widget))
            *seen = {true,
                     box->windowTitle(),
                     box->text(),
                     box->detailedText(),
                     box->icon(),
                     box->textFormat(),
                     !box->windowIcon().isNull(),
                     box->width()};
        widget->close();
    });
}

struct SeenDialog {
    bool seen = false;
    QString title, directory;
    QStringList nameFilters;
};

// Presses button and answers the file dialog it opens with name, or cancels
// it when name is empty.
inline SeenDialog ChooseWith(QAbstractButton *button, const QString &name)
{
    SeenDialog seen;
    WhenModal([&seen, name](QWidget *widget) {
        auto *dialog = qobject_cast<QFileDialog *>(widget);
        if (!dialog) {
            widget->close();
            return;
        }
        seen = {true, dialog->windowTitle(), dialog->directory().absolutePath(), dialog->nameFilters()};
        if (name.isEmpty())
            return dialog->reject();
        if (dialog->fileMode() == QFileDialog::Directory)
            dialog->setDirectory(name);
        dialog->selectFile(name);
        static_cast<QDialog *>(dialog)->accept();
    });
    QTest::mouseClick(button, Qt::LeftButton);
    return seen;
}

// Mesa unloads its driver when the last window goes, and the leak checker
// then cannot name the driver's own allocations to match the system-library
// suppressions. Load the driver once as the application starts and keep it.
inline void PinOpenGLDriver()
{
    QOffscreenSurface surface;
    surface.create();
    QOpenGLContext context;
    if (!context.create() || !context.makeCurrent(&surface))
        return;
    dl_iterate_phdr(
        [](dl_phdr_info *info, size_t, void *) {
            if (info->dlpi_name && QByteArray(info->dlpi_name).endsWith("_dri.so"))
                dlopen(info->dlpi_name, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
            return 0;
        },
        nullptr);
    context.doneCurrent();
}
Q_COREAPP_STARTUP_FUNCTION(PinOpenGLDriver)
