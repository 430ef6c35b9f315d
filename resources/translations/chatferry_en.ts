<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en" sourcelanguage="en">
<context>
    <name>QObject</name>
    <message>
        <source>Marrowquist Chatferry for Mac</source>
        <translation>Marrowquist Chatferry for Mac</translation>
    </message>
    <message>
        <source>Yes</source>
        <translation>Yes</translation>
    </message>
    <message>
        <source>No</source>
        <translation>No</translation>
    </message>
    <message>
        <source>OK</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>Cancel</translation>
    </message>
    <message>
        <source>Abort</source>
        <translation>Abort</translation>
    </message>
    <message>
        <source>Retry</source>
        <translation>Retry</translation>
    </message>
    <message>
        <source>Ignore</source>
        <translation>Ignore</translation>
    </message>
    <message>
        <source>Please launch iTunes (Finder if MacOS 10.15 or above) first and then re-connect your iPhone. Once your iPhone is visible in iTunes (Finder if MacOS 10.15 or above), please restart Marrowquist software.</source>
        <translation>Please launch iTunes (Finder if MacOS 10.15 or above) first and then re-connect your iPhone. Once your iPhone is visible in iTunes (Finder if MacOS 10.15 or above), please restart Marrowquist software.</translation>
    </message>
    <message>
        <source>Failed to transfer data to device. Please turn off iCloud backup on your iPhone to try again.</source>
        <translation>Failed to transfer data to device. Please turn off iCloud backup on your iPhone to try again.</translation>
    </message>
    <message>
        <source>Failed to transfer data to device. Your iTunes backup is encrypted. Please run iTunes on computer and then uncheck &quot;Encrypt iPhone backup&quot; option to try again.</source>
        <translation>Failed to transfer data to device. Your iTunes backup is encrypted. Please run iTunes on computer and then uncheck &quot;Encrypt iPhone backup&quot; option to try again.</translation>
    </message>
</context>
<context>
    <name>ProgressForm</name>
    <message>
        <source>Dialog</source>
        <translation>Dialog</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>Cancel</translation>
    </message>
    <message>
        <source>Are You Sure You Want To Cancel?</source>
        <translation>Are You Sure You Want To Cancel?</translation>
    </message>
</context>
<context>
    <name>LoadLineDbThread</name>
    <message>
        <source>Loading...</source>
        <translation>Loading...</translation>
    </message>
</context>
<context>
    <name>LineAccountSelForm</name>
    <message>
        <source>Dialog</source>
        <translation>Dialog</translation>
    </message>
    <message>
        <source>IDS_SEL_A_LINE_ACCOUNT:</source>
        <translation>Please choose your Line account:</translation>
    </message>
    <message>
        <source>IDS_SEL_A_LINE_ACCOUNT</source>
        <translation>Choose Line Account</translation>
    </message>
    <message>
        <source>OK</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>Cancel</translation>
    </message>
    <message>
        <source>IDS_PLEASE_SELECT_A_LINE_ACCOUNT.</source>
        <translation>Line account is required. Please choose your Line account.</translation>
    </message>
</context>
<context>
    <name>BackupLineMessagesThread</name>
    <message>
        <source>IDS_BACKING_UP_LINE_MESSAGES</source>
        <translation>Backing up Line messages...</translation>
    </message>
    <message>
        <source>IDS_SUC_BACKUP_%1_MESSAGES</source>
        <translation>Successfully backed up %1 messages.</translation>
    </message>
    <message>
        <source>IDS_BACKUP_%1_FILES_NOT_STORED</source>
        <translation>%1 media files could not be stored; the log names them.</translation>
    </message>
</context>
<context>
    <name>CopyUWPItunesThread</name>
    <message>
        <source>Initiating iTunes...</source>
        <translation>Initiating iTunes...</translation>
    </message>
    <message>
        <source>Can not copy iTunes files. %1</source>
        <translation>Can not copy iTunes files. %1</translation>
    </message>
</context>
<context>
    <name>BackupManifest</name>
    <message>
        <source>&lt;br/&gt;If you are using MacOS 10.14 or above,  please click &lt;a href=&quot;%1&quot;&gt;HERE&lt;/a&gt;.</source>
        <translation>&lt;br/&gt;If you are using MacOS 10.14 or above,  please click &lt;a href=&quot;%1&quot;&gt;HERE&lt;/a&gt;.</translation>
    </message>
    <message>
        <source>%1 is damaged: it is not a property list.</source>
        <translation>%1 is damaged: it is not a property list.</translation>
    </message>
    <message>
        <source>The backup&apos;s keybag is damaged: %1.</source>
        <translation>The backup&apos;s keybag is damaged: %1.</translation>
    </message>
    <message>
        <source>The backup is encrypted, but its keybag holds no key that a password unlocks.</source>
        <translation>The backup is encrypted, but its keybag holds no key that a password unlocks.</translation>
    </message>
    <message>
        <source>The backup&apos;s file list is encrypted, but its key (ManifestKey in Manifest.plist) does not unwrap with any key of the keybag.</source>
        <translation>The backup&apos;s file list is encrypted, but its key (ManifestKey in Manifest.plist) does not unwrap with any key of the keybag.</translation>
    </message>
    <message>
        <source>can not open %1. %2</source>
        <translation>can not open %1. %2</translation>
    </message>
    <message>
        <source>can not create %1. %2</source>
        <translation>can not create %1. %2</translation>
    </message>
    <message>
        <source>write %1 failed. %2</source>
        <translation>write %1 failed. %2</translation>
    </message>
    <message>
        <source>read %1 failed. %2</source>
        <translation>read %1 failed. %2</translation>
    </message>
    <message>
        <source>can not write %1. %2</source>
        <translation>can not write %1. %2</translation>
    </message>
    <message>
        <source>%1 of %2 cannot be decrypted: its file key does not unwrap with the backup&apos;s keys.</source>
        <translation>%1 of %2 cannot be decrypted: its file key does not unwrap with the backup&apos;s keys.</translation>
    </message>
    <message>
        <source>%1 lies beside the decrypted file list and cannot be removed: %2</source>
        <translation>%1 lies beside the decrypted file list and cannot be removed: %2</translation>
    </message>
    <message>
        <source>The backup %1 was replaced by a newer backup since its password was entered. Open it and enter its password again.</source>
        <translation>The backup %1 was replaced by a newer backup since its password was entered. Open it and enter its password again.</translation>
    </message>
    <message>
        <source>The backup %1 keeps being replaced by another backup; try again when it has ended.</source>
        <translation>The backup %1 keeps being replaced by another backup; try again when it has ended.</translation>
    </message>
</context>
<context>
    <name>IOSMergeWAFiles2iTunesBKThread</name>
    <message>
        <source>can not overwrite %1</source>
        <translation>can not overwrite %1</translation>
    </message>
    <message>
        <source>Transferring files...</source>
        <translation>Transferring files...</translation>
    </message>
    <message>
        <source>LINE's %1 in the backup %2 has changed since LINE was loaded from it, by the phone's next backup or by a restore already merged into it. Nothing was written: load LINE from the backup again, then restore.</source>
        <translation>LINE's %1 in the backup %2 has changed since LINE was loaded from it, by the phone's next backup or by a restore already merged into it. Nothing was written: load LINE from the backup again, then restore.</translation>
    </message>
</context>
<context>
    <name>IOSiTunesBKSetPasswordThread</name>
    <message>
        <source>Verifying. Please wait...</source>
        <translation>Verifying. Please wait...</translation>
    </message>
</context>
<context>
    <name>IOSAfcFileDownload</name>
    <message>
        <source>Please restart your phone to try again.&lt;br/&gt;&lt;br/&gt;can not read %1.</source>
        <translation>Please restart your phone to try again.&lt;br/&gt;&lt;br/&gt;can not read %1.</translation>
    </message>
    <message>
        <source>Loading %1, %L2KB / %L3KB</source>
        <translation>Loading %1, %L2KB / %L3KB</translation>
    </message>
</context>
<context>
    <name>IOSAfcFileUpload</name>
    <message>
        <source>Sending %1</source>
        <translation>Sending %1</translation>
    </message>
    <message>
        <source>Sending %1, %L2KB / %L3KB</source>
        <translation>Sending %1, %L2KB / %L3KB</translation>
    </message>
</context>
<context>
    <name>backup2tool</name>
    <message>
        <source>This may take a few minutes. Please wait...</source>
        <translation>This may take a few minutes. Please wait...</translation>
    </message>
    <message>
        <source>Sending %1 to device...</source>
        <translation>Sending %1 to device...</translation>
    </message>
    <message>
        <source>Receiving files (size: %1)...</source>
        <translation>Receiving files (size: %1)...</translation>
    </message>
    <message>
        <source>Please restart your iPhone first.</source>
        <translation>Please restart your iPhone first.</translation>
    </message>
    <message>
        <source>Please follow </source>
        <translation>Please follow </translation>
    </message>
    <message>
        <source>this tutorial</source>
        <translation>this tutorial</translation>
    </message>
    <message>
        <source> to disable </source>
        <translation> to disable </translation>
    </message>
    <message>
        <source> first and then restart your iPhone to try again.</source>
        <translation> first and then restart your iPhone to try again.</translation>
    </message>
    <message>
        <source>Insufficient free disk space on device to back up. Not enough free disk space on your Device.</source>
        <translation>Insufficient free disk space on device to back up. Not enough free disk space on your Device.</translation>
    </message>
    <message>
        <source>Insufficient free disk space on drive to back up. Not enough free disk space on your computer.</source>
        <translation>Insufficient free disk space on drive to back up. Not enough free disk space on your computer.</translation>
    </message>
    <message>
        <source>Error attaching to device. Please Keep your iPhone connected and active.</source>
        <translation>Error attaching to device. Please Keep your iPhone connected and active.</translation>
    </message>
    <message>
        <source>Please restart your iPhone to try again.</source>
        <translation>Please restart your iPhone to try again.</translation>
    </message>
</context>
<context>
    <name>IOSMobileBackupThread</name>
    <message>
        <source>The iPhone ended the backup before it was complete.</source>
        <translation>The iPhone ended the backup before it was complete.</translation>
    </message>
    <message>
        <source>Connection to device lost. Please try the following solutions: &lt;br/&gt;&lt;br/&gt;</source>
        <translation>Connection to device lost. Please try the following solutions: &lt;br/&gt;&lt;br/&gt;</translation>
    </message>
    <message>
        <source>Failed to connect your iPhone. Please try the following solutions: &lt;br/&gt;&lt;br/&gt;</source>
        <translation>Failed to connect your iPhone. Please try the following solutions: &lt;br/&gt;&lt;br/&gt;</translation>
    </message>
    <message>
        <source>A:&lt;br/&gt;Step 1) Restart your iPhone.&lt;br/&gt;Step 2) Connect your iPhone to iTunes to backup your iPhone on computer. &lt;br/&gt;Step 3) Run Marrowquist software to try again. &lt;br/&gt;&lt;br/&gt;</source>
        <translation>A:&lt;br/&gt;Step 1) Restart your iPhone.&lt;br/&gt;Step 2) Connect your iPhone to iTunes to backup your iPhone on computer. &lt;br/&gt;Step 3) Run Marrowquist software to try again. &lt;br/&gt;&lt;br/&gt;</translation>
    </message>
    <message>
        <source>B:&lt;br/&gt;Step 1) Delete the lockdown folder from your computer.(</source>
        <translation>B:&lt;br/&gt;Step 1) Delete the lockdown folder from your computer.(</translation>
    </message>
    <message>
        <source>How to</source>
        <translation>How to</translation>
    </message>
    <message>
        <source>) &lt;br/&gt;Step 2) Connect your iPhone to iTunes to backup your iPhone on computer.&lt;br/&gt;Step 3) Run Marrowquist software to try again. &lt;br/&gt;</source>
        <translation>) &lt;br/&gt;Step 2) Connect your iPhone to iTunes to backup your iPhone on computer.&lt;br/&gt;Step 3) Run Marrowquist software to try again. &lt;br/&gt;</translation>
    </message>
    <message>
        <source>&lt;br/&gt;&lt;br/&gt;Note: You can follow this </source>
        <translation>&lt;br/&gt;&lt;br/&gt;Note: You can follow this </translation>
    </message>
    <message>
        <source>tutorial</source>
        <translation>tutorial</translation>
    </message>
    <message>
        <source> to try.</source>
        <translation> to try.</translation>
    </message>
    <message>
        <source>&lt;br/&gt;&lt;br/&gt;Note: You can restart your device to try again.</source>
        <translation>&lt;br/&gt;&lt;br/&gt;Note: You can restart your device to try again.</translation>
    </message>
    <message>
        <source>can not create %1</source>
        <translation>can not create %1</translation>
    </message>
    <message>
        <source>can not remove %1</source>
        <translation>can not remove %1</translation>
    </message>
</context>
<context>
    <name>IOSMobileRestoreThread</name>
    <message>
        <source>Transferring data to Device...</source>
        <translation>Transferring data to Device...</translation>
    </message>
    <message>
        <source>&lt;br/&gt;&lt;br/&gt;Tip: You can follow this </source>
        <translation>&lt;br/&gt;&lt;br/&gt;Tip: You can follow this </translation>
    </message>
    <message>
        <source>tutorial</source>
        <translation>tutorial</translation>
    </message>
    <message>
        <source> to try.</source>
        <translation> to try.</translation>
    </message>
    <message>
        <source>&lt;br/&gt;&lt;br/&gt;Note: You can restart your device to try again.</source>
        <translation>&lt;br/&gt;&lt;br/&gt;Note: You can restart your device to try again.</translation>
    </message>
    <message>
        <source>The iPhone ended the restore before it was complete.</source>
        <translation>The iPhone ended the restore before it was complete.</translation>
    </message>
</context>
<context>
    <name>IOSLoadLineFromiTunesThread</name>
    <message>
        <source>IDS_CACHING_BACKUP_FILE_%1</source>
        <translation>Loading %1...</translation>
    </message>
    <message>
        <source>can not create %1</source>
        <translation>can not create %1</translation>
    </message>
    <message>
        <source>IDS_LOADING_ITUNES_BACKUP</source>
        <translation>Loading data from iTunes Backup...</translation>
    </message>
    <message>
        <source>Found no Line data in your iTunes Backup. Please check if you have installed and logined Line on your iPhone.</source>
        <translation>Found no Line data in your iTunes Backup. Please check if you have installed and logined Line on your iPhone.</translation>
    </message>
    <message>
        <source>The load of LINE could not record what it copied (%1), so no restore can use this copy. Load LINE from the backup again.</source>
        <translation>The load of LINE could not record what it copied (%1), so no restore can use this copy. Load LINE from the backup again.</translation>
    </message>
</context>
<context>
    <name>IOSRestoreLineMsgThread</name>
    <message>
        <source>IDS_RESTORING_LINE_MSG_TO_IOS</source>
        <translation>Transferring messages to iPhone...</translation>
    </message>
    <message>
        <source>The device's cache folder %1 cannot be used.</source>
        <translation>The device's cache folder %1 cannot be used.</translation>
    </message>
    <message>
        <source>The messages are in LINE's database, but it could not be made ready for the phone (%1 of %2 changes written): another program may be reading it.</source>
        <translation>The messages are in LINE's database, but it could not be made ready for the phone (%1 of %2 changes written): another program may be reading it.</translation>
    </message>
    <message>
        <source>Please restart your phone to try again.&lt;br/&gt;&lt;br/&gt;</source>
        <translation>Please restart your phone to try again.&lt;br/&gt;&lt;br/&gt;</translation>
    </message>
    <message>
        <source>The copy of LINE in %1 does not record which backup it was loaded from: its load did not finish, or an earlier version of this program made it. Nothing was written: load LINE from the backup again, then restore.</source>
        <translation>The copy of LINE in %1 does not record which backup it was loaded from: its load did not finish, or an earlier version of this program made it. Nothing was written: load LINE from the backup again, then restore.</translation>
    </message>
</context>
<context>
    <name>BackupLock</name>
    <message>
        <source>this user cannot open it (%1)</source>
        <translation>this user cannot open it (%1)</translation>
    </message>
    <message>
        <source>it is not a regular file</source>
        <translation>it is not a regular file</translation>
    </message>
    <message>
        <source>Remove it, and the backup can be read.</source>
        <translation>Remove it, and the backup can be read.</translation>
    </message>
    <message>
        <source>Only its owner can remove it; or copy the backup into a folder of this user&apos;s and open it there.</source>
        <translation>Only its owner can remove it; or copy the backup into a folder of this user&apos;s and open it there.</translation>
    </message>
    <message>
        <source>The backup %1 cannot be locked: %2 is in the way, as %3. %4</source>
        <translation>The backup %1 cannot be locked: %2 is in the way, as %3. %4</translation>
    </message>
    <message>
        <source>The backup %1 is in use by another window&apos;s load, merge or restore that is still under way; try again when it has ended.</source>
        <translation>The backup %1 is in use by another window&apos;s load, merge or restore that is still under way; try again when it has ended.</translation>
    </message>
    <message>
        <source>Waiting for another window to finish with this backup...</source>
        <translation>Waiting for another window to finish with this backup...</translation>
    </message>
    <message>
        <source>A merge into this backup was interrupted or is still under way, and the backup cannot be read before it is settled: %1</source>
        <translation>A merge into this backup was interrupted or is still under way, and the backup cannot be read before it is settled: %1</translation>
    </message>
    <message>
        <source>its journal stays.</source>
        <translation>its journal stays.</translation>
    </message>
</context>
</TS>
