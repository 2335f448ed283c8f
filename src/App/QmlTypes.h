#pragma once

// Makes the C++ objects the views bind to known to QML under "Ferrowyn.Core". They are created and owned
// by C++ and handed to the window as required properties, never as context properties.
void registerQmlTypes();
