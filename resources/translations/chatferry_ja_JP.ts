<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="ja_JP" sourcelanguage="en">
<context>
    <name>QObject</name>
    <message>
        <source>Marrowquist Chatferry for Mac</source>
        <translation>Marrowquist Chatferry for Mac</translation>
    </message>
    <message>
        <source>Yes</source>
        <translation>はい</translation>
    </message>
    <message>
        <source>No</source>
        <translation>いいえ</translation>
    </message>
    <message>
        <source>OK</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>キャンセル</translation>
    </message>
    <message>
        <source>Abort</source>
        <translation>中止</translation>
    </message>
    <message>
        <source>Retry</source>
        <translation>再試行</translation>
    </message>
    <message>
        <source>Ignore</source>
        <translation>無視</translation>
    </message>
    <message>
        <source>Please launch iTunes (Finder if MacOS 10.15 or above) first and then re-connect your iPhone. Once your iPhone is visible in iTunes (Finder if MacOS 10.15 or above), please restart Marrowquist software.</source>
        <translation>まず iTunes（macOS 10.15 以降では Finder）を起動してから、iPhone を接続し直してください。iTunes（macOS 10.15 以降では Finder）に iPhone が表示されたら、Marrowquist ソフトウェアを再起動してください。</translation>
    </message>
    <message>
        <source>Failed to transfer data to device. Please turn off iCloud backup on your iPhone to try again.</source>
        <translation>デバイスへのデータ転送に失敗しました。iPhone の iCloud バックアップをオフにしてから、もう一度お試しください。</translation>
    </message>
    <message>
        <source>Failed to transfer data to device. Your iTunes backup is encrypted. Please run iTunes on computer and then uncheck &quot;Encrypt iPhone backup&quot; option to try again.</source>
        <translation>デバイスへのデータ転送に失敗しました。iTunes バックアップが暗号化されています。コンピュータで iTunes を起動し、「iPhone のバックアップを暗号化」のチェックを外してから、もう一度お試しください。</translation>
    </message>
</context>
<context>
    <name>ProgressForm</name>
    <message>
        <source>Dialog</source>
        <translation>ダイアログ</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>キャンセル</translation>
    </message>
    <message>
        <source>Are You Sure You Want To Cancel?</source>
        <translation>キャンセルしてもよろしいですか？</translation>
    </message>
</context>
<context>
    <name>LoadLineDbThread</name>
    <message>
        <source>Loading...</source>
        <translation>読み込み中...</translation>
    </message>
</context>
<context>
    <name>LineAccountSelForm</name>
    <message>
        <source>Dialog</source>
        <translation>ダイアログ</translation>
    </message>
    <message>
        <source>IDS_SEL_A_LINE_ACCOUNT:</source>
        <translation>LINE アカウントを選択してください：</translation>
    </message>
    <message>
        <source>IDS_SEL_A_LINE_ACCOUNT</source>
        <translation>LINE アカウントを選択</translation>
    </message>
    <message>
        <source>OK</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>キャンセル</translation>
    </message>
    <message>
        <source>IDS_PLEASE_SELECT_A_LINE_ACCOUNT.</source>
        <translation>LINE アカウントが必要です。LINE アカウントを選択してください。</translation>
    </message>
</context>
<context>
    <name>BackupLineMessagesThread</name>
    <message>
        <source>IDS_BACKING_UP_LINE_MESSAGES</source>
        <translation>LINEのメッセージをバックアップしています...</translation>
    </message>
    <message>
        <source>IDS_SUC_BACKUP_%1_MESSAGES</source>
        <translation>%1 件のメッセージをバックアップしました。</translation>
    </message>
    <message>
        <source>IDS_BACKUP_%1_FILES_NOT_STORED</source>
        <translation>%1 個のメディアファイルを保存できませんでした。詳しくはログをご覧ください。</translation>
    </message>
</context>
<context>
    <name>CopyUWPItunesThread</name>
    <message>
        <source>Initiating iTunes...</source>
        <translation>iTunes を準備しています...</translation>
    </message>
    <message>
        <source>Can not copy iTunes files. %1</source>
        <translation>iTunes のファイルをコピーできません。%1</translation>
    </message>
</context>
<context>
    <name>BackupManifest</name>
    <message>
        <source>&lt;br/&gt;If you are using MacOS 10.14 or above,  please click &lt;a href=&quot;%1&quot;&gt;HERE&lt;/a&gt;.</source>
        <translation>&lt;br/&gt;MacOS 10.14 以降をお使いの場合は、&lt;a href=&quot;%1&quot;&gt;こちら&lt;/a&gt;をクリックしてください。</translation>
    </message>
    <message>
        <source>%1 is damaged: it is not a property list.</source>
        <translation>%1 は壊れています：プロパティリストではありません。</translation>
    </message>
    <message>
        <source>The backup&apos;s keybag is damaged: %1.</source>
        <translation>バックアップのキーバッグが壊れています：%1。</translation>
    </message>
    <message>
        <source>The backup is encrypted, but its keybag holds no key that a password unlocks.</source>
        <translation>バックアップは暗号化されていますが、キーバッグにパスワードで開けられる鍵がありません。</translation>
    </message>
    <message>
        <source>The backup&apos;s file list is encrypted, but its key (ManifestKey in Manifest.plist) does not unwrap with any key of the keybag.</source>
        <translation>バックアップのファイル一覧は暗号化されていますが、その鍵（Manifest.plist の ManifestKey）をキーバッグのどの鍵でも復元できません。</translation>
    </message>
    <message>
        <source>can not open %1. %2</source>
        <translation>%1 を開けません。%2</translation>
    </message>
    <message>
        <source>can not create %1. %2</source>
        <translation>%1 を作成できません。%2</translation>
    </message>
    <message>
        <source>write %1 failed. %2</source>
        <translation>%1 への書き込みに失敗しました。%2</translation>
    </message>
    <message>
        <source>read %1 failed. %2</source>
        <translation>%1 の読み込みに失敗しました。%2</translation>
    </message>
    <message>
        <source>can not write %1. %2</source>
        <translation>%1 に書き込めません。%2</translation>
    </message>
    <message>
        <source>%1 of %2 cannot be decrypted: its file key does not unwrap with the backup&apos;s keys.</source>
        <translation>%2 の %1 は復号できません：ファイルの鍵をバックアップの鍵で復元できません。</translation>
    </message>
    <message>
        <source>%1 lies beside the decrypted file list and cannot be removed: %2</source>
        <translation>%1 が復号されたファイルリストの横にあり、削除できません: %2</translation>
    </message>
    <message>
        <source>The backup %1 was replaced by a newer backup since its password was entered. Open it and enter its password again.</source>
        <translation>パスワードの入力後に、バックアップ %1 は新しいバックアップに置き換えられました。開き直して、もう一度パスワードを入力してください。</translation>
    </message>
    <message>
        <source>The backup %1 keeps being replaced by another backup; try again when it has ended.</source>
        <translation>バックアップ %1 は別のバックアップによって置き換えられ続けています。それが終わってから、もう一度お試しください。</translation>
    </message>
</context>
<context>
    <name>IOSMergeWAFiles2iTunesBKThread</name>
    <message>
        <source>can not overwrite %1</source>
        <translation>%1 を上書きできません</translation>
    </message>
    <message>
        <source>Transferring files...</source>
        <translation>ファイルを転送しています...</translation>
    </message>
    <message>
        <source>LINE's %1 in the backup %2 has changed since LINE was loaded from it, by the phone's next backup or by a restore already merged into it. Nothing was written: load LINE from the backup again, then restore.</source>
        <translation>LINE を読み込んだ後に、バックアップ %2 にある LINE の %1 が、iPhone の次回のバックアップか、すでに統合された復元によって変更されました。何も書き込んでいません。バックアップから LINE をもう一度読み込んでから、復元してください。</translation>
    </message>
</context>
<context>
    <name>IOSiTunesBKSetPasswordThread</name>
    <message>
        <source>Verifying. Please wait...</source>
        <translation>確認中です。しばらくお待ちください...</translation>
    </message>
</context>
<context>
    <name>IOSAfcFileDownload</name>
    <message>
        <source>Please restart your phone to try again.&lt;br/&gt;&lt;br/&gt;can not read %1.</source>
        <translation>iPhone を再起動してからもう一度お試しください。&lt;br/&gt;&lt;br/&gt;%1 を読み取れません。</translation>
    </message>
    <message>
        <source>Loading %1, %L2KB / %L3KB</source>
        <translation>%1 を読み込んでいます、%L2KB / %L3KB</translation>
    </message>
</context>
<context>
    <name>IOSAfcFileUpload</name>
    <message>
        <source>Sending %1</source>
        <translation>%1 を送信しています</translation>
    </message>
    <message>
        <source>Sending %1, %L2KB / %L3KB</source>
        <translation>%1 を送信しています、%L2KB / %L3KB</translation>
    </message>
</context>
<context>
    <name>backup2tool</name>
    <message>
        <source>This may take a few minutes. Please wait...</source>
        <translation>数分かかることがあります。しばらくお待ちください...</translation>
    </message>
    <message>
        <source>Sending %1 to device...</source>
        <translation>%1 をデバイスに送信しています...</translation>
    </message>
    <message>
        <source>Receiving files (size: %1)...</source>
        <translation>ファイルを受信しています (サイズ: %1)...</translation>
    </message>
    <message>
        <source>Please restart your iPhone first.</source>
        <translation>まず iPhone を再起動してください。</translation>
    </message>
    <message>
        <source>Please follow </source>
        <translation>次の</translation>
    </message>
    <message>
        <source>this tutorial</source>
        <translation>チュートリアル</translation>
    </message>
    <message>
        <source> to disable </source>
        <translation> に従って </translation>
    </message>
    <message>
        <source> first and then restart your iPhone to try again.</source>
        <translation> を先にオフにしてから、iPhone を再起動してもう一度お試しください。</translation>
    </message>
    <message>
        <source>Insufficient free disk space on device to back up. Not enough free disk space on your Device.</source>
        <translation>デバイスの空き容量が不足しているためバックアップできません。デバイスの空き容量が足りません。</translation>
    </message>
    <message>
        <source>Insufficient free disk space on drive to back up. Not enough free disk space on your computer.</source>
        <translation>ドライブの空き容量が不足しているためバックアップできません。コンピュータの空き容量が足りません。</translation>
    </message>
    <message>
        <source>Error attaching to device. Please Keep your iPhone connected and active.</source>
        <translation>デバイスに接続できません。iPhone を接続したまま、画面をオンにしておいてください。</translation>
    </message>
    <message>
        <source>Please restart your iPhone to try again.</source>
        <translation>iPhone を再起動してからもう一度お試しください。</translation>
    </message>
</context>
<context>
    <name>IOSMobileBackupThread</name>
    <message>
        <source>The iPhone ended the backup before it was complete.</source>
        <translation>iPhone がバックアップを完了する前に終了しました。</translation>
    </message>
    <message>
        <source>Connection to device lost. Please try the following solutions: &lt;br/&gt;&lt;br/&gt;</source>
        <translation>デバイスとの接続が切れました。次の方法をお試しください: &lt;br/&gt;&lt;br/&gt;</translation>
    </message>
    <message>
        <source>Failed to connect your iPhone. Please try the following solutions: &lt;br/&gt;&lt;br/&gt;</source>
        <translation>iPhone に接続できませんでした。次の方法をお試しください: &lt;br/&gt;&lt;br/&gt;</translation>
    </message>
    <message>
        <source>A:&lt;br/&gt;Step 1) Restart your iPhone.&lt;br/&gt;Step 2) Connect your iPhone to iTunes to backup your iPhone on computer. &lt;br/&gt;Step 3) Run Marrowquist software to try again. &lt;br/&gt;&lt;br/&gt;</source>
        <translation>A:&lt;br/&gt;手順 1) iPhone を再起動します。&lt;br/&gt;手順 2) iPhone を iTunes に接続し、コンピュータに iPhone をバックアップします。&lt;br/&gt;手順 3) Marrowquist ソフトウェアを起動してもう一度お試しください。&lt;br/&gt;&lt;br/&gt;</translation>
    </message>
    <message>
        <source>B:&lt;br/&gt;Step 1) Delete the lockdown folder from your computer.(</source>
        <translation>B:&lt;br/&gt;手順 1) コンピュータから lockdown フォルダを削除します。(</translation>
    </message>
    <message>
        <source>How to</source>
        <translation>方法</translation>
    </message>
    <message>
        <source>) &lt;br/&gt;Step 2) Connect your iPhone to iTunes to backup your iPhone on computer.&lt;br/&gt;Step 3) Run Marrowquist software to try again. &lt;br/&gt;</source>
        <translation>) &lt;br/&gt;手順 2) iPhone を iTunes に接続し、コンピュータに iPhone をバックアップします。&lt;br/&gt;手順 3) Marrowquist ソフトウェアを起動してもう一度お試しください。&lt;br/&gt;</translation>
    </message>
    <message>
        <source>&lt;br/&gt;&lt;br/&gt;Note: You can follow this </source>
        <translation>&lt;br/&gt;&lt;br/&gt;注: この</translation>
    </message>
    <message>
        <source>tutorial</source>
        <translation>チュートリアル</translation>
    </message>
    <message>
        <source> to try.</source>
        <translation> に従ってお試しください。</translation>
    </message>
    <message>
        <source>&lt;br/&gt;&lt;br/&gt;Note: You can restart your device to try again.</source>
        <translation>&lt;br/&gt;&lt;br/&gt;注: デバイスを再起動してもう一度お試しください。</translation>
    </message>
    <message>
        <source>can not create %1</source>
        <translation>%1 を作成できません</translation>
    </message>
    <message>
        <source>can not remove %1</source>
        <translation>%1 を削除できません</translation>
    </message>
</context>
<context>
    <name>IOSMobileRestoreThread</name>
    <message>
        <source>Transferring data to Device...</source>
        <translation>デバイスにデータを転送しています...</translation>
    </message>
    <message>
        <source>&lt;br/&gt;&lt;br/&gt;Tip: You can follow this </source>
        <translation>&lt;br/&gt;&lt;br/&gt;ヒント: この</translation>
    </message>
    <message>
        <source>tutorial</source>
        <translation>チュートリアル</translation>
    </message>
    <message>
        <source> to try.</source>
        <translation> に従ってお試しください。</translation>
    </message>
    <message>
        <source>&lt;br/&gt;&lt;br/&gt;Note: You can restart your device to try again.</source>
        <translation>&lt;br/&gt;&lt;br/&gt;注: デバイスを再起動してもう一度お試しください。</translation>
    </message>
    <message>
        <source>The iPhone ended the restore before it was complete.</source>
        <translation>iPhone が復元を完了する前に終了しました。</translation>
    </message>
</context>
<context>
    <name>IOSLoadLineFromiTunesThread</name>
    <message>
        <source>IDS_CACHING_BACKUP_FILE_%1</source>
        <translation>%1 を読み込んでいます...</translation>
    </message>
    <message>
        <source>can not create %1</source>
        <translation>%1 を作成できません</translation>
    </message>
    <message>
        <source>IDS_LOADING_ITUNES_BACKUP</source>
        <translation>iTunes バックアップからデータを読み込んでいます...</translation>
    </message>
    <message>
        <source>Found no Line data in your iTunes Backup. Please check if you have installed and logined Line on your iPhone.</source>
        <translation>iTunes バックアップに LINE のデータが見つかりません。iPhone に LINE をインストールしてログインしているか確認してください。</translation>
    </message>
    <message>
        <source>The load of LINE could not record what it copied (%1), so no restore can use this copy. Load LINE from the backup again.</source>
        <translation>LINE の読み込みで、コピーした内容を記録できませんでした (%1)。このコピーは復元に使えません。バックアップから LINE をもう一度読み込んでください。</translation>
    </message>
</context>
<context>
    <name>IOSRestoreLineMsgThread</name>
    <message>
        <source>IDS_RESTORING_LINE_MSG_TO_IOS</source>
        <translation>iPhone にメッセージを転送しています...</translation>
    </message>
    <message>
        <source>The device's cache folder %1 cannot be used.</source>
        <translation>デバイスのキャッシュフォルダ %1 を使用できません。</translation>
    </message>
    <message>
        <source>The messages are in LINE's database, but it could not be made ready for the phone (%1 of %2 changes written): another program may be reading it.</source>
        <translation>メッセージは LINE のデータベースに保存されましたが、iPhone に送る準備ができませんでした (%2 件中 %1 件の変更を書き込み済み)。別のプログラムが読み込んでいる可能性があります。</translation>
    </message>
    <message>
        <source>Please restart your phone to try again.&lt;br/&gt;&lt;br/&gt;</source>
        <translation>スマートフォンを再起動してもう一度お試しください。&lt;br/&gt;&lt;br/&gt;</translation>
    </message>
    <message>
        <source>The copy of LINE in %1 does not record which backup it was loaded from: its load did not finish, or an earlier version of this program made it. Nothing was written: load LINE from the backup again, then restore.</source>
        <translation>%1 にある LINE のコピーには、どのバックアップから読み込んだかの記録がありません。読み込みが完了しなかったか、このプログラムの以前のバージョンで作成されたコピーです。何も書き込んでいません。バックアップから LINE をもう一度読み込んでから、復元してください。</translation>
    </message>
</context>
<context>
    <name>BackupLock</name>
    <message>
        <source>this user cannot open it (%1)</source>
        <translation>このユーザーでは開けません (%1)</translation>
    </message>
    <message>
        <source>it is not a regular file</source>
        <translation>通常のファイルではありません</translation>
    </message>
    <message>
        <source>Remove it, and the backup can be read.</source>
        <translation>このファイルを削除すると、バックアップを読み込めるようになります。</translation>
    </message>
    <message>
        <source>Only its owner can remove it; or copy the backup into a folder of this user&apos;s and open it there.</source>
        <translation>このファイルを削除できるのは所有者だけです。または、バックアップをこのユーザーのフォルダにコピーして、そこで開いてください。</translation>
    </message>
    <message>
        <source>The backup %1 cannot be locked: %2 is in the way, as %3. %4</source>
        <translation>バックアップ %1 をロックできません: %2 が妨げになっています (%3)。%4</translation>
    </message>
    <message>
        <source>The backup %1 is in use by another window&apos;s load, merge or restore that is still under way; try again when it has ended.</source>
        <translation>バックアップ %1 は別のウィンドウの読み込み、統合または復元で使用中です。それが終わってから、もう一度お試しください。</translation>
    </message>
    <message>
        <source>Waiting for another window to finish with this backup...</source>
        <translation>別のウィンドウがこのバックアップの使用を終えるのを待っています...</translation>
    </message>
    <message>
        <source>A merge into this backup was interrupted or is still under way, and the backup cannot be read before it is settled: %1</source>
        <translation>このバックアップへの統合が中断されたか、まだ実行中のため、整理されるまでバックアップを読み込めません: %1</translation>
    </message>
    <message>
        <source>its journal stays.</source>
        <translation>その記録ファイルが残っています。</translation>
    </message>
</context>
</TS>
