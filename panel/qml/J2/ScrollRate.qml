// The lines one wheel notch scrolls, 1-20.
import QtQuick 2.15
import QtQuick.Controls 2.15 as T

SliderButton { from: 1; to: 20; value: 3 }
