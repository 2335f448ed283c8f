#pragma once

#include "Platform/Keyring.h"

#include <QString>

#include <memory>

class SecretsFileKeyring;
class UserDefaults;

// Where the pairing secrets live for this run: the system keyring, or the owner-only secrets file when the
// command line or the settings ask for it. Never chosen silently: PairingSecretsPlace says which, and whether
// it works.
struct HostKeyringChoice {
    std::unique_ptr<Keyring> keyring;
    QString warning; // why the user must act (a secrets file refused or moved aside); empty otherwise
    SecretsFileKeyring *file = nullptr; // the keyring, when it is the secrets file

    static HostKeyringChoice make(bool secretsFileAsked, const UserDefaults &savedSettings);
};
