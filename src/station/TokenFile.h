#pragma once

#include <QByteArray>
#include <QString>

// The station's access token in STATE_DIR/token: 256 random bits from the system's CSPRNG as 64 hex
// digits. Created at the first start with mode 0600 from the first instant (O_CREAT|O_EXCL, never
// a chmod afterwards); read at later starts, and refused when anyone but its owner may read or
// write it, or when another user owns it.
namespace TokenFile {

QString path(const QString& stateDir);
// 256 random bits from the system's CSPRNG as 64 hex digits.
bool makeToken(QByteArray* token, QString* error);
// False with a message for the operator.
bool loadOrCreate(const QString& stateDir, QByteArray* token, QString* error);
// Constant-time comparison of what a client sent with the token.
bool matches(const QByteArray& token, const QByteArray& presented);

} // namespace TokenFile
