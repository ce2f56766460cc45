#pragma once

#include <QString>

// What a request needs of its token. Reads follow the station's read rule (open on loopback, any
// good token elsewhere); operating (runs, fixtures, serials) takes any good token; administering
// (firmware, signatures, the audit) only an administrator's.
enum class Access
{
    Read,
    Operate,
    Administer,
};

// What a token may do: its role.
enum class Role
{
    Operator,
    Admin,
};

namespace Roles {

inline QString name(Role role)
{
    return role == Role::Admin ? QStringLiteral("admin") : QStringLiteral("operator");
}

// False for anything but "admin" and "operator".
inline bool parse(const QString& text, Role* role)
{
    if (text == QLatin1String("admin"))
        *role = Role::Admin;
    else if (text == QLatin1String("operator"))
        *role = Role::Operator;
    else
        return false;
    return true;
}

inline bool allows(Role role, Access access)
{
    return access != Access::Administer || role == Role::Admin;
}

} // namespace Roles
