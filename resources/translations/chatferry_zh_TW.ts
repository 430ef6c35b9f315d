<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="zh_TW" sourcelanguage="en">
<context>
    <name>QObject</name>
    <message>
        <source>Marrowquist Chatferry for Mac</source>
        <translation>Marrowquist Chatferry for Mac</translation>
    </message>
    <message>
        <source>Yes</source>
        <translation>是</translation>
    </message>
    <message>
        <source>No</source>
        <translation>否</translation>
    </message>
    <message>
        <source>OK</source>
        <translation>確定</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>取消</translation>
    </message>
    <message>
        <source>Abort</source>
        <translation>中止</translation>
    </message>
    <message>
        <source>Retry</source>
        <translation>重試</translation>
    </message>
    <message>
        <source>Ignore</source>
        <translation>忽略</translation>
    </message>
    <message>
        <source>Please launch iTunes (Finder if MacOS 10.15 or above) first and then re-connect your iPhone. Once your iPhone is visible in iTunes (Finder if MacOS 10.15 or above), please restart Marrowquist software.</source>
        <translation>請先啟動 iTunes（macOS 10.15 或以上版本請使用 Finder），然後重新連接您的 iPhone。當 iTunes（macOS 10.15 或以上版本請使用 Finder）中出現您的 iPhone 後，請重新啟動 Marrowquist 軟體。</translation>
    </message>
    <message>
        <source>Failed to transfer data to device. Please turn off iCloud backup on your iPhone to try again.</source>
        <translation>無法將資料傳輸至裝置。請關閉 iPhone 上的 iCloud 備份後再試一次。</translation>
    </message>
    <message>
        <source>Failed to transfer data to device. Your iTunes backup is encrypted. Please run iTunes on computer and then uncheck &quot;Encrypt iPhone backup&quot; option to try again.</source>
        <translation>無法將資料傳輸至裝置。您的 iTunes 備份已加密。請在電腦上執行 iTunes，取消勾選「將 iPhone 備份加密」選項後再試一次。</translation>
    </message>
</context>
<context>
    <name>ProgressForm</name>
    <message>
        <source>Dialog</source>
        <translation>對話方塊</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>取消</translation>
    </message>
    <message>
        <source>Are You Sure You Want To Cancel?</source>
        <translation>確定要取消嗎？</translation>
    </message>
</context>
<context>
    <name>LoadLineDbThread</name>
    <message>
        <source>Loading...</source>
        <translation>載入中...</translation>
    </message>
</context>
<context>
    <name>LineAccountSelForm</name>
    <message>
        <source>Dialog</source>
        <translation>對話方塊</translation>
    </message>
    <message>
        <source>IDS_SEL_A_LINE_ACCOUNT:</source>
        <translation>請選擇您的 LINE 帳號：</translation>
    </message>
    <message>
        <source>IDS_SEL_A_LINE_ACCOUNT</source>
        <translation>選擇 LINE 帳號</translation>
    </message>
    <message>
        <source>OK</source>
        <translation>確定</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>取消</translation>
    </message>
    <message>
        <source>IDS_PLEASE_SELECT_A_LINE_ACCOUNT.</source>
        <translation>需要 LINE 帳號。請選擇您的 LINE 帳號。</translation>
    </message>
</context>
<context>
    <name>BackupLineMessagesThread</name>
    <message>
        <source>IDS_BACKING_UP_LINE_MESSAGES</source>
        <translation>正在備份 LINE 訊息...</translation>
    </message>
    <message>
        <source>IDS_SUC_BACKUP_%1_MESSAGES</source>
        <translation>已成功備份 %1 則訊息。</translation>
    </message>
    <message>
        <source>IDS_BACKUP_%1_FILES_NOT_STORED</source>
        <translation>有 %1 個媒體檔案無法儲存；詳情請見記錄檔。</translation>
    </message>
</context>
<context>
    <name>CopyUWPItunesThread</name>
    <message>
        <source>Initiating iTunes...</source>
        <translation>正在準備 iTunes...</translation>
    </message>
    <message>
        <source>Can not copy iTunes files. %1</source>
        <translation>無法複製 iTunes 檔案。%1</translation>
    </message>
</context>
<context>
    <name>BackupManifest</name>
    <message>
        <source>&lt;br/&gt;If you are using MacOS 10.14 or above,  please click &lt;a href=&quot;%1&quot;&gt;HERE&lt;/a&gt;.</source>
        <translation>&lt;br/&gt;如果您使用 MacOS 10.14 或更新版本，請按&lt;a href=&quot;%1&quot;&gt;這裡&lt;/a&gt;。</translation>
    </message>
    <message>
        <source>%1 is damaged: it is not a property list.</source>
        <translation>%1 已損壞：它不是屬性列表。</translation>
    </message>
    <message>
        <source>The backup&apos;s keybag is damaged: %1.</source>
        <translation>備份的鑰匙包已損壞：%1。</translation>
    </message>
    <message>
        <source>The backup is encrypted, but its keybag holds no key that a password unlocks.</source>
        <translation>備份已加密，但其鑰匙包中沒有可用密碼解開的金鑰。</translation>
    </message>
    <message>
        <source>The backup&apos;s file list is encrypted, but its key (ManifestKey in Manifest.plist) does not unwrap with any key of the keybag.</source>
        <translation>備份的檔案清單已加密，但其金鑰（Manifest.plist 中的 ManifestKey）無法以鑰匙包中的任何金鑰解開。</translation>
    </message>
    <message>
        <source>can not open %1. %2</source>
        <translation>無法開啟 %1。%2</translation>
    </message>
    <message>
        <source>can not create %1. %2</source>
        <translation>無法建立 %1。%2</translation>
    </message>
    <message>
        <source>write %1 failed. %2</source>
        <translation>寫入 %1 失敗。%2</translation>
    </message>
    <message>
        <source>read %1 failed. %2</source>
        <translation>讀取 %1 失敗。%2</translation>
    </message>
    <message>
        <source>can not write %1. %2</source>
        <translation>無法寫入 %1。%2</translation>
    </message>
    <message>
        <source>%1 of %2 cannot be decrypted: its file key does not unwrap with the backup&apos;s keys.</source>
        <translation>無法解密 %2 的 %1：其檔案金鑰無法以備份的金鑰解開。</translation>
    </message>
    <message>
        <source>%1 lies beside the decrypted file list and cannot be removed: %2</source>
        <translation>%1 位於已解密的檔案清單旁，且無法刪除：%2</translation>
    </message>
    <message>
        <source>The backup %1 was replaced by a newer backup since its password was entered. Open it and enter its password again.</source>
        <translation>輸入密碼後，備份 %1 已被較新的備份取代。請重新開啟並再次輸入其密碼。</translation>
    </message>
    <message>
        <source>The backup %1 keeps being replaced by another backup; try again when it has ended.</source>
        <translation>備份 %1 不斷被另一個備份取代；請在其結束後再試一次。</translation>
    </message>
</context>
<context>
    <name>IOSMergeWAFiles2iTunesBKThread</name>
    <message>
        <source>can not overwrite %1</source>
        <translation>無法覆寫 %1</translation>
    </message>
    <message>
        <source>Transferring files...</source>
        <translation>正在傳輸檔案...</translation>
    </message>
    <message>
        <source>LINE's %1 in the backup %2 has changed since LINE was loaded from it, by the phone's next backup or by a restore already merged into it. Nothing was written: load LINE from the backup again, then restore.</source>
        <translation>從備份 %2 載入 LINE 後，備份中 LINE 的 %1 已因手機的下一次備份，或已合併的還原而變更。未寫入任何資料；請從備份重新載入 LINE，再進行還原。</translation>
    </message>
</context>
<context>
    <name>IOSiTunesBKSetPasswordThread</name>
    <message>
        <source>Verifying. Please wait...</source>
        <translation>驗證中，請稍候...</translation>
    </message>
</context>
<context>
    <name>IOSAfcFileDownload</name>
    <message>
        <source>Please restart your phone to try again.&lt;br/&gt;&lt;br/&gt;can not read %1.</source>
        <translation>請重新啟動您的 iPhone 後再試一次。&lt;br/&gt;&lt;br/&gt;無法讀取 %1。</translation>
    </message>
    <message>
        <source>Loading %1, %L2KB / %L3KB</source>
        <translation>正在載入 %1，%L2KB / %L3KB</translation>
    </message>
</context>
<context>
    <name>IOSAfcFileUpload</name>
    <message>
        <source>Sending %1</source>
        <translation>正在傳送 %1</translation>
    </message>
    <message>
        <source>Sending %1, %L2KB / %L3KB</source>
        <translation>正在傳送 %1，%L2KB / %L3KB</translation>
    </message>
</context>
<context>
    <name>backup2tool</name>
    <message>
        <source>This may take a few minutes. Please wait...</source>
        <translation>這可能需要幾分鐘，請稍候...</translation>
    </message>
    <message>
        <source>Sending %1 to device...</source>
        <translation>正在將 %1 傳送到裝置...</translation>
    </message>
    <message>
        <source>Receiving files (size: %1)...</source>
        <translation>正在接收檔案（大小：%1）...</translation>
    </message>
    <message>
        <source>Please restart your iPhone first.</source>
        <translation>請先重新啟動您的 iPhone。</translation>
    </message>
    <message>
        <source>Please follow </source>
        <translation>請依照</translation>
    </message>
    <message>
        <source>this tutorial</source>
        <translation>這份教學</translation>
    </message>
    <message>
        <source> to disable </source>
        <translation> 先關閉 </translation>
    </message>
    <message>
        <source> first and then restart your iPhone to try again.</source>
        <translation>，然後重新啟動您的 iPhone 再試一次。</translation>
    </message>
    <message>
        <source>Insufficient free disk space on device to back up. Not enough free disk space on your Device.</source>
        <translation>裝置可用空間不足，無法備份。您的裝置沒有足夠的可用空間。</translation>
    </message>
    <message>
        <source>Insufficient free disk space on drive to back up. Not enough free disk space on your computer.</source>
        <translation>磁碟可用空間不足，無法備份。您的電腦沒有足夠的可用空間。</translation>
    </message>
    <message>
        <source>Error attaching to device. Please Keep your iPhone connected and active.</source>
        <translation>無法連接裝置。請保持 iPhone 連線並處於啟用狀態。</translation>
    </message>
    <message>
        <source>Please restart your iPhone to try again.</source>
        <translation>請重新啟動您的 iPhone 再試一次。</translation>
    </message>
</context>
<context>
    <name>IOSMobileBackupThread</name>
    <message>
        <source>The iPhone ended the backup before it was complete.</source>
        <translation>iPhone 在備份完成前就結束了備份。</translation>
    </message>
    <message>
        <source>Connection to device lost. Please try the following solutions: &lt;br/&gt;&lt;br/&gt;</source>
        <translation>與裝置的連線中斷。請嘗試以下解決方法：&lt;br/&gt;&lt;br/&gt;</translation>
    </message>
    <message>
        <source>Failed to connect your iPhone. Please try the following solutions: &lt;br/&gt;&lt;br/&gt;</source>
        <translation>無法連接您的 iPhone。請嘗試以下解決方法：&lt;br/&gt;&lt;br/&gt;</translation>
    </message>
    <message>
        <source>A:&lt;br/&gt;Step 1) Restart your iPhone.&lt;br/&gt;Step 2) Connect your iPhone to iTunes to backup your iPhone on computer. &lt;br/&gt;Step 3) Run Marrowquist software to try again. &lt;br/&gt;&lt;br/&gt;</source>
        <translation>A:&lt;br/&gt;步驟 1) 重新啟動您的 iPhone。&lt;br/&gt;步驟 2) 將 iPhone 連接到 iTunes，在電腦上備份您的 iPhone。&lt;br/&gt;步驟 3) 執行 Marrowquist 軟體再試一次。&lt;br/&gt;&lt;br/&gt;</translation>
    </message>
    <message>
        <source>B:&lt;br/&gt;Step 1) Delete the lockdown folder from your computer.(</source>
        <translation>B:&lt;br/&gt;步驟 1) 從電腦刪除 lockdown 資料夾。(</translation>
    </message>
    <message>
        <source>How to</source>
        <translation>操作方法</translation>
    </message>
    <message>
        <source>) &lt;br/&gt;Step 2) Connect your iPhone to iTunes to backup your iPhone on computer.&lt;br/&gt;Step 3) Run Marrowquist software to try again. &lt;br/&gt;</source>
        <translation>) &lt;br/&gt;步驟 2) 將 iPhone 連接到 iTunes，在電腦上備份您的 iPhone。&lt;br/&gt;步驟 3) 執行 Marrowquist 軟體再試一次。&lt;br/&gt;</translation>
    </message>
    <message>
        <source>&lt;br/&gt;&lt;br/&gt;Note: You can follow this </source>
        <translation>&lt;br/&gt;&lt;br/&gt;注意：您可以依照此</translation>
    </message>
    <message>
        <source>tutorial</source>
        <translation>教學</translation>
    </message>
    <message>
        <source> to try.</source>
        <translation>進行嘗試。</translation>
    </message>
    <message>
        <source>&lt;br/&gt;&lt;br/&gt;Note: You can restart your device to try again.</source>
        <translation>&lt;br/&gt;&lt;br/&gt;注意：您可以重新啟動裝置後再試一次。</translation>
    </message>
    <message>
        <source>can not create %1</source>
        <translation>無法建立 %1</translation>
    </message>
    <message>
        <source>can not remove %1</source>
        <translation>無法刪除 %1</translation>
    </message>
</context>
<context>
    <name>IOSMobileRestoreThread</name>
    <message>
        <source>Transferring data to Device...</source>
        <translation>正在傳輸資料到裝置...</translation>
    </message>
    <message>
        <source>&lt;br/&gt;&lt;br/&gt;Tip: You can follow this </source>
        <translation>&lt;br/&gt;&lt;br/&gt;提示：您可以依照此</translation>
    </message>
    <message>
        <source>tutorial</source>
        <translation>教學</translation>
    </message>
    <message>
        <source> to try.</source>
        <translation>進行嘗試。</translation>
    </message>
    <message>
        <source>&lt;br/&gt;&lt;br/&gt;Note: You can restart your device to try again.</source>
        <translation>&lt;br/&gt;&lt;br/&gt;注意：您可以重新啟動裝置後再試一次。</translation>
    </message>
    <message>
        <source>The iPhone ended the restore before it was complete.</source>
        <translation>iPhone 在還原完成前就結束了還原。</translation>
    </message>
</context>
<context>
    <name>IOSLoadLineFromiTunesThread</name>
    <message>
        <source>IDS_CACHING_BACKUP_FILE_%1</source>
        <translation>正在載入 %1...</translation>
    </message>
    <message>
        <source>can not create %1</source>
        <translation>無法建立 %1</translation>
    </message>
    <message>
        <source>IDS_LOADING_ITUNES_BACKUP</source>
        <translation>正在從 iTunes 備份載入資料...</translation>
    </message>
    <message>
        <source>Found no Line data in your iTunes Backup. Please check if you have installed and logined Line on your iPhone.</source>
        <translation>在您的 iTunes 備份中找不到 LINE 資料。請確認您已在 iPhone 上安裝並登入 LINE。</translation>
    </message>
    <message>
        <source>The load of LINE could not record what it copied (%1), so no restore can use this copy. Load LINE from the backup again.</source>
        <translation>載入 LINE 時無法記錄所複製的內容（%1），因此此副本無法用於還原。請從備份重新載入 LINE。</translation>
    </message>
</context>
<context>
    <name>IOSRestoreLineMsgThread</name>
    <message>
        <source>IDS_RESTORING_LINE_MSG_TO_IOS</source>
        <translation>正在將訊息傳輸到 iPhone...</translation>
    </message>
    <message>
        <source>The device's cache folder %1 cannot be used.</source>
        <translation>無法使用裝置的快取資料夾 %1。</translation>
    </message>
    <message>
        <source>The messages are in LINE's database, but it could not be made ready for the phone (%1 of %2 changes written): another program may be reading it.</source>
        <translation>訊息已寫入 LINE 的資料庫，但無法為手機準備好（已寫入 %2 項變更中的 %1 項）：可能有其他程式正在讀取它。</translation>
    </message>
    <message>
        <source>Please restart your phone to try again.&lt;br/&gt;&lt;br/&gt;</source>
        <translation>請重新啟動手機後再試一次。&lt;br/&gt;&lt;br/&gt;</translation>
    </message>
    <message>
        <source>The copy of LINE in %1 does not record which backup it was loaded from: its load did not finish, or an earlier version of this program made it. Nothing was written: load LINE from the backup again, then restore.</source>
        <translation>%1 中的 LINE 副本沒有記錄它是從哪個備份載入的：載入未完成，或是由本程式的舊版本建立。未寫入任何資料；請從備份重新載入 LINE，再進行還原。</translation>
    </message>
</context>
<context>
    <name>BackupLock</name>
    <message>
        <source>this user cannot open it (%1)</source>
        <translation>此使用者無法開啟它（%1）</translation>
    </message>
    <message>
        <source>it is not a regular file</source>
        <translation>它不是一般檔案</translation>
    </message>
    <message>
        <source>Remove it, and the backup can be read.</source>
        <translation>刪除此檔案後即可讀取備份。</translation>
    </message>
    <message>
        <source>Only its owner can remove it; or copy the backup into a folder of this user&apos;s and open it there.</source>
        <translation>只有其擁有者能刪除此檔案；或將備份複製到此使用者的資料夾，再從那裡開啟。</translation>
    </message>
    <message>
        <source>The backup %1 cannot be locked: %2 is in the way, as %3. %4</source>
        <translation>無法鎖定備份 %1：%2 造成阻礙（%3）。%4</translation>
    </message>
    <message>
        <source>The backup %1 is in use by another window&apos;s load, merge or restore that is still under way; try again when it has ended.</source>
        <translation>備份 %1 正由另一個視窗的載入、合併或還原使用中；請在其結束後再試一次。</translation>
    </message>
    <message>
        <source>Waiting for another window to finish with this backup...</source>
        <translation>正在等待另一個視窗結束使用此備份...</translation>
    </message>
    <message>
        <source>A merge into this backup was interrupted or is still under way, and the backup cannot be read before it is settled: %1</source>
        <translation>此備份的合併已中斷或仍在進行中，整理完成前無法讀取備份：%1</translation>
    </message>
    <message>
        <source>its journal stays.</source>
        <translation>其日誌檔案仍然存在。</translation>
    </message>
</context>
</TS>
