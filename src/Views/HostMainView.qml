import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Ferrowyn.Core
import Ferrowyn.Theme

// The window's content: the settings sidebar on the left, hosting status and output on the right.
Item {
    id: view

    RowLayout {
        anchors.fill: parent
        spacing: 0

        Rectangle {
            id: sidebar
            objectName: "sidebar"
            Layout.preferredWidth: 300
            Layout.fillHeight: true
            color: Qt.rgba(palette.window.r, palette.window.g, palette.window.b, Theme.sidebarBackgroundOpacity)

            ColumnLayout {
                anchors.fill: parent
                spacing: 0

                SidebarHeader {
                    Layout.fillWidth: true
                }

                ScrollView {
                    id: sidebarScroll
                    objectName: "sidebarScroll"
                    Layout.fillWidth: true
                    Layout.fillHeight: true
                    contentWidth: availableWidth
                    // Shown whenever there is more below, so the cards at the end (Paired Devices) are
                    // known to be there.
                    ScrollBar.vertical.policy: contentHeight > height ? ScrollBar.AlwaysOn : ScrollBar.AlwaysOff
                    ScrollBar.vertical.objectName: "sidebarScrollBar"

                    ColumnLayout {
                        width: sidebarScroll.availableWidth - 32
                        x: 16
                        y: 18
                        spacing: 18

                        WorkspaceListView {
                        }
                        SectionCard {
                            title: "Connection"
                            ConnectionSettings {
                                onNgrokInfoRequested: {
                                    ngrokInfo.active = true;
                                    (ngrokInfo.item as NgrokInfoDialog).open();
                                }
                                onRestartRequested: Presenter.restartHostingIfActive()
                            }
                        }
                        SectionCard {
                            title: "Readiness"
                            ReadinessSettings {
                            }
                        }
                        SectionCard {
                            title: "Paired Devices"
                            PairedDevicesView {
                            }
                        }
                        Item { implicitHeight: 18 }
                    }
                }
            }

            Rectangle {
                anchors.right: parent.right
                anchors.top: parent.top
                anchors.bottom: parent.bottom
                width: 1
                color: Theme.separator
            }
        }

        DetailArea {
            Layout.fillWidth: true
            Layout.fillHeight: true
        }
    }

    // Made when first asked for.
    Loader {
        id: ngrokInfo
        active: false
        sourceComponent: NgrokInfoDialog {}
    }
}
