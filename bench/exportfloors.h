#pragma once
// The raw floors of the CSV and text exports, shared by the export benchmark and the window's: the plain
// SQLite C API reading the rows the reader reads and plain C writing the same lines (localtime_r and
// strftime, the same quoting or columns, fwrite). The text floor writes the C locale's dates, so its
// benchmarks want LC_ALL=C.UTF-8. Also the pieces the HTML floor shares with them.
#include <QByteArray>
#include <QString>

#include <sqlite3.h>

#include <cstdio>
#include <string>
#include <unordered_map>
#include <vector>

namespace exportfloors {

struct RawHandle {
    std::string id;
    std::string name;  // the stored contact name, may be empty
    const std::string& displayName() const { return name.empty() ? id : name; }
};

struct RawChat {
    std::string identifier;
    std::string displayName;      // may be empty
    std::vector<qint64> members;  // ascending row id
};

struct RawParties {
    std::unordered_map<qint64, RawHandle> handles;  // members of some conversation, as the reader keeps them
    std::unordered_map<qint64, RawChat> chats;
};

RawParties readParties(sqlite3* db);
// "04 Sep 2013 3:06 PM", as the system-event sentences give their time.
std::string sentenceDate(qint64 stored);
// The old encoding's emoji in the Basic Multilingual Plane.
bool isBmpEmoji(unsigned codePoint);
// Emoji become "[EMOJI]"; UTF-8 in, UTF-8 out.
std::string replaceEmojiUtf8(const std::string& in);
// The text of column col without attachment marks.
void appendVisibleText(std::string& out, sqlite3_stmt* row, int col);
// The sentence the reader gives a system event, named by the handles of the conversations.
std::string systemSentence(sqlite3_stmt* row, const std::unordered_map<qint64, RawHandle>& handles);
// Flushes, syncs and closes file, as the exporters' QSaveFile does; false on any failure.
bool closeSynced(FILE* file);

// The same CSV and text files as the exporters write for the database at dbPath; return the messages.
qint64 csvRaw(const QString& dbPath, const QString& outPath);
qint64 txtRaw(const QString& dbPath, const QString& outPath);

QByteArray fileBytes(const QString& path);
// Empty when equal, else where the files first differ with the line of each.
std::string firstDifference(const QByteArray& ours, const QByteArray& raw);

}  // namespace exportfloors
