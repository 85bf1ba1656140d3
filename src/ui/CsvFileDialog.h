#pragma once

#include <functional>
#include <string>

#include <QString>
#include <QWidget>

#include "platform/MessageSink.h"

// Asks where to save a CSV file, in Japanese whatever the desktop's language, starting in the
// folder used last (the home folder at first) with the suggested name. Empty when cancelled.
QString AskCsvPath(QWidget* parent, const QString& suggestedName);

// The name with the characters file systems or a Windows share refuse replaced by '_'.
QString SafeFileName(QString name);

// Writes the pieces nextPiece gives (until it returns false) to path as one new file: a file
// that was there stays as it was unless the whole new one was written. False after telling the
// user why.
bool WriteCsvFile(const QString& path, const std::function<bool(std::string&)>& nextPiece,
                  platform::MessageSink& sink);
