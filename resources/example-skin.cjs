/* Orvane Capture Desk example skin, "Slate".
   Copy this file to x/o.cjs in the application folder to use it.
   It is a Qt style sheet; docs/skin.md says what a skin may contain. */

/* face-colour: #dfe6ec */

QPushButton {
    background-color: #dfe6ec;
    color: #1f3a52;
    border: 1px solid #8ea3b6;
    border-radius: 4px;
    padding: 2px 8px;
}

QPushButton:hover {
    background-color: #eef3f7;
    border-color: #2f6d9e;
}

QPushButton:pressed {
    background-color: #c4d1dc;
}

QPushButton:focus {
    border: 2px solid #2f6d9e;
}

QMessageBox, QDialog {
    background-color: #dfe6ec;
}

QMessageBox QLabel {
    color: #1f3a52;
}
