#!/usr/bin/env python3
"""The build's release description and winget manifest set, read as a deployment system and winget
read them: every field their schemas require (winget's manifest schema 1.12.0: the version,
defaultLocale and installer manifests), and each value against the built packages themselves,
read back with msitools.

    release_test.py BUILD_DIR
"""
import hashlib
import json
import os
import re
import subprocess
import sys
import unittest

import yaml

BUILD = sys.argv.pop(1) if len(sys.argv) > 1 else "build"
BIN = os.path.join(BUILD, "bin")
WINGET = os.path.join(BIN, "winget")
PACKAGE_ID = "Tovalin.Zentavo"
SCHEMA = "1.12.0"
UNINSTALL_KEY = "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Zentavo"

# The schema's patterns and enumerations for the fields written.
IDENTIFIER = re.compile(r'^[^\.\s\\/:\*\?"<>\|\x01-\x1f]{1,32}(\.[^\.\s\\/:\*\?"<>\|\x01-\x1f]{1,32}){1,7}$')
VERSION = re.compile(r'^[^\\/:\*\?"<>\|\x01-\x1f]+$')
LOCALE = re.compile(r"^([a-zA-Z]{2,3}|[iI]-[a-zA-Z]+|[xX]-[a-zA-Z]{1,8})(-[a-zA-Z]{1,8})*$")
MANIFEST_VERSION = re.compile(r"^(0|[1-9][0-9]{0,4})(\.(0|[1-9][0-9]{0,4})){2}$")
URL = re.compile(r"^([Hh][Tt][Tt][Pp][Ss]?)://.+$")
SHA256 = re.compile(r"^[A-Fa-f0-9]{64}$")
RESPONSES = {
    "packageInUse", "packageInUseByApplication", "installInProgress", "fileInUse",
    "missingDependency", "diskFull", "insufficientMemory", "invalidParameter", "noNetwork",
    "contactSupport", "rebootRequiredToFinish", "rebootRequiredForInstall", "rebootInitiated",
    "cancelledByUser", "alreadyInstalled", "downgrade", "blockedByPolicy", "systemNotSupported",
    "custom"}
RETURN_CODES = {0, 1602, 1603, 1618, 1638, 1641, 3010}


def digest(path):
    with open(path, "rb") as data:
        return hashlib.sha256(data.read()).hexdigest().upper()


def msiinfo(*args):
    return subprocess.run(["msiinfo", *args], check=True, capture_output=True,
                          text=True).stdout.replace("\r", "")


def msi_property(package, name):
    for line in msiinfo("export", package, "Property").splitlines()[3:]:
        fields = line.split("\t")
        if fields[0] == name:
            return fields[1]
    return None


def manifest(name):
    path = os.path.join(WINGET, name)
    with open(path, encoding="utf-8") as text:
        source = text.read()
    return source, yaml.safe_load(source)


class ReleaseDescription(unittest.TestCase):
    def setUp(self):
        with open(os.path.join(BIN, "zentavo-release.json"), encoding="utf-8") as text:
            self.release = json.load(text)
        self.msi = self.release["packages"]["msi"]
        self.exe = self.release["packages"]["installer"]

    def test_each_package_is_the_built_file(self):
        for package in (self.msi, self.exe):
            path = os.path.join(BIN, package["file"])
            self.assertEqual(os.path.getsize(path), package["size"], package["file"])
            self.assertEqual(digest(path), package["sha256"], package["file"])

    def test_the_codes_are_the_packages_own(self):
        path = os.path.join(BIN, self.msi["file"])
        self.assertEqual(msi_property(path, "ProductVersion"), self.release["version"])
        self.assertEqual(msi_property(path, "ProductCode"), self.msi["productCode"])
        self.assertEqual(msi_property(path, "UpgradeCode"), self.msi["upgradeCode"])
        package_code = re.search(r"Revision number \(UUID\): (\{[0-9A-F-]+\})",
                                 msiinfo("suminfo", path)).group(1)
        self.assertEqual(package_code, self.msi["packageCode"])
        self.assertEqual(self.msi["detection"]["productCode"], self.msi["productCode"])
        self.assertEqual(self.msi["detection"]["minimumVersion"], self.release["version"])

    def test_the_command_lines_are_silent_and_name_the_package(self):
        self.assertEqual(self.msi["install"],
                         "msiexec /i %s /qn /norestart /l*v install.log" % self.msi["file"])
        self.assertEqual(self.msi["uninstall"],
                         "msiexec /x %s /qn /norestart /l*v remove.log" % self.msi["productCode"])
        self.assertEqual(self.exe["install"], self.exe["file"] + " /S")
        self.assertRegex(self.exe["uninstall"], r'^"[^"]+\\Uninstall\.exe" /S _\?=[^"]+$')

    def test_the_installer_programs_detection_is_its_add_remove_key(self):
        self.assertEqual(self.exe["uninstallKey"], UNINSTALL_KEY)
        self.assertEqual(self.exe["detection"]["key"], UNINSTALL_KEY)
        self.assertEqual(self.exe["detection"]["value"], "DisplayVersion")
        self.assertEqual(self.exe["detection"]["minimumVersion"], self.release["version"])

    def test_every_return_code_has_its_meaning(self):
        codes = {entry["code"]: entry["meaning"] for entry in self.release["returnCodes"]}
        self.assertEqual(set(codes), RETURN_CODES)
        for code, meaning in codes.items():
            self.assertGreater(len(meaning), 3, code)


class WingetManifests(unittest.TestCase):
    def setUp(self):
        with open(os.path.join(BIN, "zentavo-release.json"), encoding="utf-8") as text:
            self.release = json.load(text)
        self.version_source, self.version = manifest(PACKAGE_ID + ".yaml")
        self.locale_source, self.locale = manifest(PACKAGE_ID + ".locale.en-US.yaml")
        self.installer_source, self.installer = manifest(PACKAGE_ID + ".installer.yaml")

    def common(self, source, document, kind, required):
        for field in required:
            self.assertIn(field, document, kind)
        self.assertIn("$schema=https://aka.ms/winget-manifest.%s.%s.schema.json" % (kind, SCHEMA),
                      source)
        self.assertEqual(document["ManifestType"], kind)
        self.assertIsInstance(document["ManifestVersion"], str)
        self.assertRegex(document["ManifestVersion"], MANIFEST_VERSION)
        self.assertEqual(document["ManifestVersion"], SCHEMA)
        self.assertRegex(document["PackageIdentifier"], IDENTIFIER)
        self.assertEqual(document["PackageIdentifier"], PACKAGE_ID)
        self.assertIsInstance(document["PackageVersion"], str)
        self.assertRegex(document["PackageVersion"], VERSION)
        self.assertEqual(document["PackageVersion"], self.release["version"])

    def test_the_version_manifest(self):
        self.common(self.version_source, self.version, "version",
                    ["PackageIdentifier", "PackageVersion", "DefaultLocale", "ManifestType",
                     "ManifestVersion"])
        self.assertRegex(self.version["DefaultLocale"], LOCALE)
        self.assertEqual(self.version["DefaultLocale"], self.locale["PackageLocale"])

    def test_the_default_locale_manifest(self):
        self.common(self.locale_source, self.locale, "defaultLocale",
                    ["PackageIdentifier", "PackageVersion", "PackageLocale", "Publisher",
                     "PackageName", "License", "ShortDescription", "ManifestType",
                     "ManifestVersion"])
        self.assertRegex(self.locale["PackageLocale"], LOCALE)
        for field, least, most in (("Publisher", 2, 256), ("PackageName", 2, 256),
                                   ("License", 3, 512), ("ShortDescription", 3, 256)):
            self.assertTrue(least <= len(self.locale[field]) <= most, field)
        self.assertEqual(self.locale["Publisher"], self.release["publisher"])
        for field in ("PublisherUrl", "PackageUrl"):
            self.assertRegex(self.locale[field], URL)

    def test_the_installer_manifest(self):
        self.common(self.installer_source, self.installer, "installer",
                    ["PackageIdentifier", "PackageVersion", "Installers", "ManifestType",
                     "ManifestVersion"])
        self.assertEqual(self.installer["InstallerType"], "nullsoft")
        self.assertEqual(self.installer["Scope"], "machine")
        self.assertEqual(self.installer["InstallerSwitches"]["Silent"], "/S")
        self.assertEqual(self.installer["InstallerSwitches"]["SilentWithProgress"], "/S")
        program = self.release["packages"]["installer"]
        installers = self.installer["Installers"]
        self.assertEqual(len(installers), 1)
        for entry in installers:
            for field in ("Architecture", "InstallerUrl", "InstallerSha256"):
                self.assertIn(field, entry)
            self.assertEqual(entry["Architecture"], "x64")
            self.assertRegex(entry["InstallerUrl"], URL)
            self.assertTrue(entry["InstallerUrl"].endswith("/" + program["file"]))
            self.assertRegex(entry["InstallerSha256"], SHA256)
            self.assertEqual(entry["InstallerSha256"],
                             digest(os.path.join(BIN, program["file"])))

    def test_the_return_codes_and_the_add_remove_entry(self):
        expected = self.installer["ExpectedReturnCodes"]
        for entry in expected:
            self.assertIsInstance(entry["InstallerReturnCode"], int)
            self.assertNotEqual(entry["InstallerReturnCode"], 0)
            self.assertIn(entry["ReturnResponse"], RESPONSES)
        self.assertEqual({entry["InstallerReturnCode"] for entry in expected}, RETURN_CODES - {0})
        responses = {entry["InstallerReturnCode"]: entry["ReturnResponse"] for entry in expected}
        self.assertEqual(responses[3010], "rebootRequiredToFinish")
        self.assertEqual(responses[1618], "installInProgress")
        entries = self.installer["AppsAndFeaturesEntries"]
        self.assertEqual(len(entries), 1)
        key_name = UNINSTALL_KEY.rsplit("\\", 1)[1]
        self.assertEqual(entries[0]["DisplayName"], self.release["product"])
        self.assertEqual(entries[0]["Publisher"], self.release["publisher"])
        self.assertEqual(entries[0]["DisplayVersion"], self.release["version"])
        self.assertEqual(entries[0]["ProductCode"], key_name)
        self.assertEqual(self.installer["ProductCode"], key_name)


if __name__ == "__main__":
    unittest.main(verbosity=2)
