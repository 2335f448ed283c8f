import QtQuick
import QtQuick.Layouts
import Ferrowyn.Core
import Ferrowyn.Theme

// How the tablet pairs: the QR code and the masked link while a link exists, otherwise why there is none.
SectionCard {
    id: panel
    objectName: "setupLinkPanel"
    // True for a moment after the link was copied.
    property bool copied: false
    // Showing the link's browser form, for a tablet without the app; the form picked last is kept.
    readonly property bool browserForm: Preferences.browserLinkForm
    readonly property bool showsCode: !browserForm || Presenter.hasBrowserLink
    property int copiedDuration: 1500
    property var resetTimes: [] // when each press's "Copied" runs out

    title: "iPad pairing"

    RowLayout {
        objectName: "disconnectedContent"
        visible: !Presenter.hasSetupLink
        spacing: 12
        Layout.fillWidth: true

        SymbolIcon {
            name: "ipad"
            size: 24
            color: palette.mid
        }
        ColumnLayout {
            spacing: 2
            Layout.fillWidth: true
            Text {
                objectName: "disconnectedTitle"
                Layout.fillWidth: true
                text: Presenter.disconnectedTitle
                textFormat: Text.PlainText
                font.pixelSize: 12
                font.weight: Font.Medium
                color: palette.windowText
                wrapMode: Text.Wrap
            }
            Text {
                objectName: "disconnectedMessage"
                Layout.fillWidth: true
                text: Presenter.disconnectedMessage
                font.pixelSize: 11
                color: palette.placeholderText
                wrapMode: Text.Wrap
                textFormat: Text.PlainText
            }
        }
    }

    RowLayout {
        objectName: "connectedContent"
        visible: Presenter.hasSetupLink
        spacing: 16
        Layout.fillWidth: true

        Rectangle {
            Layout.alignment: Qt.AlignTop
            visible: panel.showsCode
            implicitWidth: 216
            implicitHeight: 216
            radius: 8
            color: qrCode.hasImage ? "white" : Theme.placeholderFill

            SetupLinkCode {
                id: qrCode
                objectName: "qrCode"
                anchors.centerIn: parent
                width: 200
                height: 200
                presenter: Presenter
                browserForm: panel.browserForm
                renderSize: 220
                Accessible.name: panel.browserForm ? "Browser setup link QR code" : "Setup link QR code"
            }
        }

        ColumnLayout {
            Layout.fillWidth: true
            Layout.alignment: Qt.AlignTop
            spacing: 10

            SegmentedPicker {
                objectName: "linkFormPicker"
                Layout.fillWidth: true
                accessibleName: "Link form"
                titles: ["App", "Browser"]
                currentIndex: panel.browserForm ? 1 : 0
                onPicked: index => Preferences.browserLinkForm = index === 1
            }

            Text {
                objectName: "instructionText"
                Layout.fillWidth: true
                text: panel.browserForm
                      ? "A tablet without the app: scan this code with its camera and open the page in its browser."
                      : Presenter.instructionText
                textFormat: Text.PlainText
                font.pixelSize: 12
                color: palette.placeholderText
                wrapMode: Text.Wrap
            }

            // The app's link opens nothing on a tablet without the app: the way there is said beside it.
            Text {
                objectName: "appOnlyNote"
                Layout.fillWidth: true
                visible: !panel.browserForm && Presenter.hasBrowserLink
                text: "A tablet without the app cannot open this code: pick Browser above and scan that one."
                textFormat: Text.PlainText
                font.pixelSize: 12
                font.weight: Font.Medium
                color: palette.windowText
                wrapMode: Text.Wrap
            }

            Note {
                objectName: "noBrowserForm"
                visible: !panel.showsCode
                symbol: "info.circle"
                text: "The relay route has no browser form: a browser reaches this computer on the local network "
                      + "or through ngrok. Pair the app here, or host on the local network."
                color: palette.windowText
            }

            Rectangle {
                Layout.fillWidth: true
                visible: panel.showsCode
                implicitHeight: linkText.implicitHeight + 20
                radius: 6
                color: Theme.linkTextBackground

                TextEdit {
                    id: linkText
                    objectName: "maskedLink"
                    anchors.fill: parent
                    anchors.margins: 10
                    text: panel.browserForm ? Presenter.maskedBrowserLink : Presenter.maskedSetupLink
                    readOnly: true
                    selectByMouse: true
                    wrapMode: TextEdit.WrapAnywhere
                    font.pixelSize: 11
                    color: palette.windowText
                    textFormat: TextEdit.PlainText
                }
            }

            // The key every tablet pins from this code: a tablet that shows another reached another computer.
            Text {
                objectName: "keyFingerprint"
                Layout.fillWidth: true
                visible: text.length > 0
                text: Presenter.keyFingerprintLine
                textFormat: Text.PlainText
                font.family: "monospace"
                font.pixelSize: 11
                color: palette.windowText
            }

            Note {
                objectName: "expiryLine"
                visible: Presenter.expiryLine.length > 0
                symbol: "timer"
                text: Presenter.expiryLine
                color: palette.windowText
            }

            RowLayout {
                spacing: 8
                SymbolButton {
                    objectName: "copyButton"
                    visible: panel.showsCode
                    symbol: panel.copied ? "checkmark" : "doc.on.doc"
                    text: panel.copied ? "Copied" : "Copy link"
                    onClicked: {
                        Presenter.copySetupLink(panel.browserForm);
                        panel.copied = true;
                        panel.resetTimes.push(Date.now() + panel.copiedDuration);
                        if (!copiedReset.running)
                            copiedReset.startForNext();
                    }
                }
                SymbolButton {
                    objectName: "rotateButton"
                    symbol: "arrow.triangle.2.circlepath"
                    text: "Rotate / revoke"
                    tip: Wording.rotatePairingTip
                    destructive: true
                    onClicked: Presenter.rotatePairing()
                }
            }
        }
    }

    // Every press resets the label when its own delay is up, also when a later press is still pending.
    Timer {
        id: copiedReset
        function startForNext() {
            interval = Math.max(0, panel.resetTimes[0] - Date.now());
            start();
        }
        onTriggered: {
            panel.copied = false;
            panel.resetTimes.shift();
            if (panel.resetTimes.length > 0)
                startForNext();
        }
    }
}
