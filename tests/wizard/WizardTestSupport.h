#pragma once

// Shared by the wizard tests: pictures made on the spot, a private home
// directory, and a way to answer the modal dialogs a user would answer.

#include "imaging/Image.h"
#include "imaging/JPEG.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QFile>
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
#include <QWidget>
#include <dlfcn.h>
#include <functional>
#include <link.h>

namespace WizardTest {

// A picture of one colour, or a left-to-right gradient from colour to its inverse.
inline bool WritePicture(const QString &path, int width, int height, color3 colour, bool gradient = false)
{
    Image image(width, height);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            unsigned char *p = image.data + (size_t(y) * width + x) * 3;
            const float t = gradient && width > 1 ? float(x) / float(width - 1) : 0.0f;
            p[0] = (unsigned char)(colour.r + t * (255 - 2 * colour.r));
            p[1] = (unsigned char)(colour.g + t * (255 - 2 * colour.g));
            p[2] = (unsigned char)(colour.b + t * (255 - 2 * colour.b));
        }
    }
    QDir().mkpath(QFileInfo(path).absolutePath());
    return WriteJPEG(path, image, 90);
}

inline bool WriteText(const QString &path, const QByteArray &text)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(text) == text.size();
}

// count solid pictures of varied colours in dir, named p000.jpg, p001.jpg, ...
inline bool WriteCollection(const QString &dir, int count, int width = 40, int height = 30)
{
    for (int i = 0; i < count; ++i) {
        const color3 colour = {(unsigned char)(i * 53 % 256), (unsigned char)(i * 97 % 256),
                               (unsigned char)(i * 151 % 256)};
        if (!WritePicture(QString("%1/p%2.jpg").arg(dir).arg(i, 3, 10, QChar('0')), width, height, colour))
            return false;
    }
    return true;
}

// A fresh, empty home directory for the life of the object.
class TemporaryHome {
public:
    TemporaryHome() : saved(qgetenv("HOME")) { qputenv("HOME", dir.path().toLocal8Bit()); }
    ~TemporaryHome() { qputenv("HOME", saved); }
    QString path() const { return dir.path(); }

private:
    QTemporaryDir dir;
    QByteArray saved;
};

inline void TypeAndReturn(QLineEdit *edit, const QString &text)
{
    edit->clear();
    QTest::keyClicks(edit, text);
    QTest::keyClick(edit, Qt::Key_Return);
}

inline QLabel *LabelWithText(QWidget *parent, const QString &text)
{
    for (QLabel *label : parent->findChildren<QLabel *>())
        if (label->text() == text)
            return label;
    return nullptr;
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
    QString title;
    QString text;
    QString detailedText;
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
    QString title;
    QString directory;
    QStringList nameFilters;
};

// Answers the next file dialog with name, or cancels it when name is empty.
inline QPointer<QTimer> AnswerNextFileDialog(SeenDialog *seen, const QString &name)
{
    return WhenModal([seen, name](QWidget *widget) {
        auto *dialog = qobject_cast<QFileDialog *>(widget);
        if (!dialog) {
            widget->close();
            return;
        }
        *seen = {true, dialog->windowTitle(), dialog->directory().absolutePath(), dialog->nameFilters()};
        if (name.isEmpty()) {
            dialog->reject();
            return;
        }
        if (dialog->fileMode() == QFileDialog::Directory)
            dialog->setDirectory(name);
        dialog->selectFile(name);
        static_cast<QDialog *>(dialog)->accept();
    });
}

// Presses button and answers the file dialog it opens.
inline SeenDialog ChooseWith(QAbstractButton *button, const QString &name)
{
    SeenDialog dialog;
    AnswerNextFileDialog(&dialog, name);
    QTest::mouseClick(button, Qt::LeftButton);
    return dialog;
}

}   // namespace WizardTest

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
