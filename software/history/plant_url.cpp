#include "history/plant.h"

#include <QDebug>
#include <QRegularExpression>
#include <QStringList>
#include <cctype>
#include <optional>

namespace History {

namespace {

// The text a percent-encoded part of the URL stands for; none for a broken escape or an encoded NUL,
// which the client library refuses as well.
std::optional<QString> percent_decoded(QString const& part) {
    QByteArray const bytes = part.toUtf8();
    QByteArray text;
    for (int i = 0; i < bytes.size(); ++i) {
        if (bytes[i] != '%') {
            text += bytes[i];
            continue;
        }
        QByteArray const hex = bytes.mid(i + 1, 2);
        bool const two_digits =
            hex.size() == 2 && std::isxdigit(uchar(hex[0])) && std::isxdigit(uchar(hex[1]));
        if (!two_digits || hex == "00")
            return std::nullopt;
        text += char(hex.toInt(nullptr, 16));
        i += 2;
    }
    return QString::fromUtf8(text);
}

PlantDatabase unusable(QString const& why) {
    PlantDatabase plant;
    plant.error = why;
    return plant;
}

// host[:port] or [address]:port, one or several separated by commas as the client library takes them.
std::optional<QString> read_hosts(QString const& hosts, QMap<QString, QString>* settings) {
    static QRegularExpression const one_host(R"(^(\[[^\]]*\]|[^:\[\]]*)(?::(\d*))?$)");
    QStringList names, ports;
    bool any_port = false;
    for (QString const& host : hosts.split(',')) {
        QRegularExpressionMatch const match = one_host.match(host);
        if (!match.hasMatch())
            return "a host or its port cannot be read (a port is a number)";
        std::optional<QString> const name = percent_decoded(match.captured(1).remove('[').remove(']'));
        if (!name)
            return "a host has a broken %-escape";
        names << *name;
        ports << match.captured(2);
        any_port = any_port || !match.captured(2).isEmpty();
    }
    if (!names.join("").isEmpty())
        settings->insert("host", names.join(','));
    if (any_port)
        settings->insert("port", ports.join(','));
    return std::nullopt;
}

// keyword=value&...: the client library's settings, which win over the URL's other parts. The URL's shown
// form keeps them all but a password.
std::optional<QString> read_query(QString const& query, QMap<QString, QString>* settings,
                                  QStringList* shown) {
    for (QString const& item : query.split('&', Qt::SkipEmptyParts)) {
        int const equals = item.indexOf('=');
        std::optional<QString> const keyword = percent_decoded(item.left(equals));
        std::optional<QString> const value = percent_decoded(item.mid(equals + 1));
        // A keyword is a name: the client library quotes a wrong one, which must not be a password.
        static QRegularExpression const name("^[a-z_]+$");
        if (equals <= 0 || !keyword || !value || !name.match(*keyword).hasMatch())
            return "a setting after the ? is not keyword=value with %-escapes";
        // The toolkit turns every ; of the settings it passes on into a space.
        if (value->contains(';') && !QStringList{"host", "user", "password", "dbname"}.contains(*keyword))
            return "the value of " + *keyword + " holds a ;, which cannot be passed on";
        settings->insert(*keyword, *value);
        if (*keyword != "password")
            *shown << item;
    }
    return std::nullopt;
}

// The client library's own timeouts, unless the URL sets them: a gone server or network ends the sending
// within seconds, and so does a table that another session holds locked.
void add_time_limits(QMap<QString, QString>* settings) {
    QMap<QString, QString> const limits = {
        {"connect_timeout", QString::number(plant_connect_seconds)},
        {"tcp_user_timeout", "5000"},
        {"keepalives_idle", "5"},
        {"keepalives_interval", "2"},
        {"keepalives_count", "2"},
    };
    for (auto limit = limits.begin(); limit != limits.end(); ++limit)
        if (!settings->contains(limit.key()))
            settings->insert(limit.key(), limit.value());
    // The server's notices would otherwise go to the run's standard error.
    settings->insert(
        "options",
        (settings->value("options") + " -c statement_timeout=5000 -c client_min_messages=error").trimmed());
}

} // namespace

QDebug operator<<(QDebug debug, PlantDatabase const& plant) {
    QDebugStateSaver saver(debug);
    return debug.noquote() << QString(plant);
}

// Parsed by the client library's rules (the first @ ends the user and password, the first / the hosts),
// so that a URL means here what it means to psql. No message quotes a part of the URL: a password that
// was not %-escaped could be that part.
PlantDatabase plant_database(QString const& url) {
    static QRegularExpression const form(R"(^postgres(?:ql)?://([^/?]*)(?:/([^?]*))?(?:\?(.*))?$)",
                                         QRegularExpression::DotMatchesEverythingOption);
    QRegularExpressionMatch const match = form.match(url.trimmed());
    if (!match.hasMatch())
        return unusable("it does not begin with postgresql://");
    QString const authority = match.captured(1);
    int const at = authority.indexOf('@');
    QString const user_info = at < 0 ? QString() : authority.left(at);
    QString const hosts = authority.mid(at + 1);
    if (hosts.contains('@'))
        return unusable("it has more than one @: an @ in the user name or password is written %40");
    int const colon = user_info.indexOf(':');
    std::optional<QString> const user = percent_decoded(user_info.left(colon));
    std::optional<QString> const password = percent_decoded(colon < 0 ? QString() : user_info.mid(colon + 1));
    std::optional<QString> const name = percent_decoded(match.captured(2));
    if (!user || !password || !name)
        return unusable("the user name, the password or the database name has a broken %-escape");

    PlantDatabase plant;
    QStringList shown_query;
    if (!user->isEmpty())
        plant.settings.insert("user", *user);
    if (!password->isEmpty())
        plant.settings.insert("password", *password);
    if (!name->isEmpty())
        plant.settings.insert("dbname", *name);
    if (std::optional<QString> const why = read_hosts(hosts, &plant.settings))
        return unusable(*why);
    if (std::optional<QString> const why = read_query(match.captured(3), &plant.settings, &shown_query))
        return unusable(*why);
    add_time_limits(&plant.settings);

    plant.shown = "postgresql://" + (user->isEmpty() ? QString() : user_info.left(colon) + "@") + hosts;
    if (match.capturedLength(2) > 0)
        plant.shown += "/" + match.captured(2);
    if (!shown_query.isEmpty())
        plant.shown += "?" + shown_query.join('&');
    return plant;
}

QString plant_url(bool option_set, QString const& option_value) {
    return option_set ? option_value : qEnvironmentVariable(plant_db_variable);
}

} // namespace History
