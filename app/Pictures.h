#pragma once
// The program's own pictures: the SQL-wait cursor and the two button glyphs.
#include <QCursor>
#include <QIcon>

// 32 x 32 two-colour cursor: an hourglass with "SQL" beneath it, hot spot at the top left.
const QCursor& crSQLWait();
// A small tree of yellow folders, in a normal and a disabled look.
QIcon folderTreeGlyph();
// A red disc with a white exclamation mark, in a normal and a disabled look.
QIcon abortGlyph();
