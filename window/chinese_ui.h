#pragma once

class QApplication;

// Makes the program Chinese (PRC) whatever the desktop's language: Qt's own texts (context
// menus, standard buttons), number forms, and the Simplified Chinese glyph forms in every font.
void speakChinese(QApplication &app);
