#include "ui/MainWindowControls.h"

#include "ui/Twips.h"

#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMainWindow>
#include <QProgressBar>
#include <QPushButton>
#include <QStatusBar>

namespace {

template <typename Widget>
Widget* place(Widget* widget, const char* name, int left, int top, int width, int height)
{
    widget->setObjectName(QString::fromLatin1(name));
    widget->setGeometry(Twips::toPixels(left), Twips::toPixels(top), Twips::toPixels(width),
                        Twips::toPixels(height));
    return widget;
}

QFont windowFont()
{
    // Where Arial Unicode MS is missing: Arial or a face with its metrics, else a narrow sans
    // serif, so that the captions fit their fixed widths.
    QFont font;
    font.setFamilies({QStringLiteral("Arial Unicode MS"), QStringLiteral("Arial"), QStringLiteral("Liberation Sans"),
                      QStringLiteral("Helvetica"), QStringLiteral("DejaVu Sans Condensed"), QStringLiteral("DejaVu Sans")});
    font.setStyleHint(QFont::SansSerif);
    font.setPointSizeF(8.25);
    font.setWeight(QFont::Normal);
    return font;
}

} // namespace

MainWindowControls MainWindowControls::build(QMainWindow& window)
{
    window.setFont(windowFont());
    auto* client = new QWidget(&window);
    client->setObjectName(QStringLiteral("frmMainClient"));
    window.setCentralWidget(client);

    MainWindowControls c;
    c.frmFirmwareFile = place(new QGroupBox(QStringLiteral("Firmware File"), client), "frmFirmwareFile", 240, 120,
                              5295, 855);
    c.firmwareFile = place(new QLabel(QStringLiteral("Select Firmware File..."), c.frmFirmwareFile), "FirmwareFile",
                           120, 360, 5055, 375);
    c.firmwareFile->setTextFormat(Qt::PlainText); // a file name is shown as it is, never as markup

    c.frmConnectionSettings = place(new QGroupBox(QStringLiteral("Connection Settings"), client),
                                    "frmConnectionSettings", 240, 1200, 5295, 1215);
    c.lblAddress = place(new QLabel(QStringLiteral("Address"), c.frmConnectionSettings), "lblAddress", 480, 360, 615,
                         255);
    c.ethernetAddress = place(new QLineEdit(c.frmConnectionSettings), "EthernetAddress", 1320, 360, 1455, 285);
    c.lblPort = place(new QLabel(QStringLiteral("Port"), c.frmConnectionSettings), "lblPort", 480, 720, 615, 255);
    c.ethernetPort = place(new QLineEdit(c.frmConnectionSettings), "EthernetPort", 1320, 720, 1455, 285);
    c.loadStart = place(new QPushButton(QStringLiteral("Load and Start"), c.frmConnectionSettings), "LoadStart",
                        3360, 360, 1455, 615);

    c.progressBar = place(new QProgressBar(client), "ProgressBar", 240, 2640, 5295, 255);
    c.progressBar->setRange(0, 100);
    c.progressBar->setValue(0);
    c.progressBar->setTextVisible(false);

    c.listBox = place(new QListWidget(client), "ListBox", 240, 3120, 5295, 735);
    c.listBox->setSelectionMode(QAbstractItemView::SingleSelection);
    c.listBox->setUniformItemSizes(true); // the log can hold 25,000 lines

    // The status bar runs along the bottom edge of the client area, below the log.
    c.statusBar = new QStatusBar(&window);
    c.statusBar->setObjectName(QStringLiteral("sbStatusBar"));
    c.statusBar->setSizeGripEnabled(false);
    c.statusBar->setFixedHeight(Twips::toPixels(270));
    c.statusText = new QLabel(c.statusBar);
    c.statusText->setObjectName(QStringLiteral("sbStatusBarText"));
    c.statusText->setTextFormat(Qt::PlainText); // it may carry a host name the operator typed
    c.statusBar->addWidget(c.statusText, 1);
    window.setStatusBar(c.statusBar);

    // Keyboard focus order; controls that take no focus (labels, frames, the bars) keep their
    // place in the list but are passed over.
    QWidget* const order[] = {c.statusBar, c.listBox, c.progressBar, c.frmFirmwareFile,
                                    c.frmConnectionSettings, c.ethernetAddress, c.ethernetPort, c.lblAddress,
                                    c.lblPort, c.loadStart, c.firmwareFile};
    QWidget* previous = nullptr;
    for (QWidget* widget : order) {
        if (!(widget->focusPolicy() & Qt::TabFocus))
            continue;
        if (previous)
            QWidget::setTabOrder(previous, widget);
        previous = widget;
    }
    return c;
}
