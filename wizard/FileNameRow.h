#pragma once

#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QWidget>

// A file name field with its "..." button, packed tightly, as both pages that
// ask for a file show it. The caller makes both controls, so their texts are
// translated in the page's own context.
inline QWidget *FileNameRow(QLineEdit *edit, int editStretch, QPushButton *browseButton)
{
    auto *row = new QWidget;
    auto *layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    edit->setObjectName("filenameEdit");
    browseButton->setObjectName("browseButton");
    layout->addWidget(edit, editStretch);
    layout->addWidget(browseButton, 0);
    return row;
}
