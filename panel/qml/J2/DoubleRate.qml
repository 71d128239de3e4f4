// The system double-click speed, 0 (slow) to 10 (fast).
import QtQuick 2.15
import QtQuick.Controls 2.15 as T

SliderButton { from: 0; to: 10; value: 5 }
