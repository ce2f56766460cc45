#pragma once

#include <QString>

// Why the history could not be used. `message` is a full sentence for people, with any password
// left out.
struct HistoryError
{
    enum Kind
    {
        None,
        Unreachable, // no connection to the server, or the file's folder cannot be used
        NotHistory,  // a corrupt file, not a database, or a database of something else
        NewerSchema, // written by a newer version of the program
        ReadOnly,    // may be read, not written
        Busy,        // locked by another writer for longer than the busy timeout
        Failed,      // any other error of the database
    };

    Kind kind = None;
    QString message;

    bool ok() const { return kind == None; }
    // Errors that waiting does not cure: the writer stops trying instead of retrying.
    bool permanent() const { return kind == NotHistory || kind == NewerSchema || kind == ReadOnly; }
};
