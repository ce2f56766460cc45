#pragma once

#include "SimulatedUnits.h"

#include "settings/ProductVariant.h"
#include "ui/MainWindow.h"

#include "unitsim/HexRecord.h"

#include <QAction>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QListWidget>
#include <QSettings>
#include <QStandardPaths>
#include <QStatusBar>
#include <QStringList>
#include <QTcpServer>

// Helpers shared by the window's tests: an isolated settings store, HEX files the simulated unit
// accepts, and access to the window's controls by object name, as an operator would see them.
namespace UiTest {

inline const QString MarlinTitle = QStringLiteral("Marlin-ARC Firmware Uploader");
inline const QString VireoTitle = QStringLiteral("Vireo Grand Firmware Uploader");

// The product line of a build with this title, as the program decides it at start-up.
inline const ProductVariant* product(const QString& title)
{
    return ProductVariants::forTitle(title);
}

// Points the per-user settings, the update history the window records to and its journal at dir; call
// before any window or store exists.
inline void isolateSettings(const QString& dir)
{
    // Test mode puts the data folder (this computer's journal) under ~/.qttest, which every test
    // run on the machine would share: under dir, each test has its own.
    qputenv("HOME", dir.toLocal8Bit());
    QStandardPaths::setTestModeEnabled(true);
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, dir);
    qputenv("UPLOADER_HISTORY", QDir(dir).filePath(QStringLiteral("history.sqlite")).toLocal8Bit());
}

// `records` data records of 16 bytes from address 0 on, then the end-of-file record.
inline QString writeHexFile(const QString& dir, const QString& name, int records)
{
    QByteArray text;
    for (int i = 0; i < records; ++i) {
        unitsim::HexRecord record;
        record.type = unitsim::HexRecord::Data;
        record.address = quint16(i * 16);
        for (int b = 0; b < 16; ++b)
            record.data.append(char((i * 13 + b * 5) & 0xFF));
        text += record.toLine() + "\r\n";
    }
    unitsim::HexRecord end;
    end.type = unitsim::HexRecord::EndOfFile;
    text += end.toLine() + "\r\n";
    const QString path = QDir(dir).filePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size())
        return {};
    return path;
}

using SimulatedUnits::closedPort;

template <typename T> T* control(QWidget& window, const char* name)
{
    return window.findChild<T*>(QString::fromLatin1(name));
}

inline QAction* action(QWidget& window, const char* name)
{
    return control<QAction>(window, name);
}

inline QListWidget* log(QWidget& window)
{
    return control<QListWidget>(window, "ListBox");
}

inline QStringList logLines(QWidget& window)
{
    QStringList lines;
    QListWidget* list = log(window);
    for (int i = 0; i < list->count(); ++i)
        lines << list->item(i)->text();
    return lines;
}

inline bool logContains(QWidget& window, const QString& line)
{
    return logLines(window).contains(line);
}

inline QColor logBackground(QWidget& window)
{
    return log(window)->viewport()->palette().color(QPalette::Base);
}

inline QString statusLine(QWidget& window)
{
    return control<QStatusBar>(window, "sbStatusBar")->findChild<QLabel*>()->text();
}

} // namespace UiTest
