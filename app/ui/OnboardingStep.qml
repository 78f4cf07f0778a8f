import QtQml

// One page of the getting-started guide.
QtObject {
    // A symbol name of the symbol table.
    required property string symbol
    required property string title
    required property string message
}
