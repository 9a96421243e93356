<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="ja_JP">
<context>
    <name>SerialTexts</name>
    <message>
        <source>it stopped reading what was sent (%1 KiB waited)</source>
        <translation>送ったものを読まなくなりました (%1 KiB が待っています)</translation>
    </message>
    <message>
        <source>it closed the connection</source>
        <translation>接続を切りました</translation>
    </message>
    <message>
        <source>nothing came back from the network for %1 s</source>
        <translation>ネットワークから %1 秒のあいだ何も届きません</translation>
    </message>
    <message>
        <source>it reset the connection</source>
        <translation>接続をリセットしました</translation>
    </message>
    <message>
        <source>the connection failed: %1</source>
        <translation>接続に失敗しました: %1</translation>
    </message>
    <message>
        <source>on</source>
        <translation>オン</translation>
    </message>
    <message>
        <source>off</source>
        <translation>オフ</translation>
    </message>
    <message>
        <source>Invalid property value</source>
        <translation>プロパティの値が無効です</translation>
    </message>
    <message>
        <source>Invalid port number: COM%1</source>
        <translation>ポート番号が不正です: COM%1</translation>
    </message>
    <message>
        <source>The port is already open</source>
        <translation>ポートはすでに開いています</translation>
    </message>
    <message>
        <source>The port is not open, so this cannot be done</source>
        <translation>ポートが開いていないため、この操作はできません</translation>
    </message>
    <message>
        <source>%1 is not a serial port: %2</source>
        <translation>%1 はシリアルポートではありません: %2</translation>
    </message>
    <message>
        <source>Cannot open %1: %2</source>
        <translation>%1 を開けません: %2</translation>
    </message>
    <message>
        <source>Only root may open this device</source>
        <translation>このデバイスは root だけが開けます</translation>
    </message>
    <message>
        <source>Only its owner %1 and root may open this device</source>
        <translation>このデバイスは所有者の %1 と root だけが開けます</translation>
    </message>
    <message>
        <source>You are in the group %1, but this login does not have it yet. Log in again</source>
        <translation>グループ %1 には参加済みですが、このログインにはまだ反映されていません。ログインし直してください</translation>
    </message>
    <message>
        <source>Join the group %1 (sudo usermod -aG %1 $USER) and log in again</source>
        <translation>グループ %1 に参加して (sudo usermod -aG %1 $USER)、ログインし直してください</translation>
    </message>
    <message>
        <source>No permission to open %1: %2</source>
        <translation>%1 を開く権限がありません: %2</translation>
    </message>
    <message>
        <source>%1. %2</source>
        <translation>%1。%2</translation>
    </message>
    <message>
        <source>%1 (PID %2) has it</source>
        <translation>%1 (PID %2) が使っています</translation>
    </message>
    <message>
        <source>the program with PID %1 has it</source>
        <translation>PID %1 のプログラムが使っています</translation>
    </message>
    <message>
        <source>another program has it</source>
        <translation>他のプログラムが使っています</translation>
    </message>
    <message>
        <source>%1 is in use: %2</source>
        <translation>%1 は使用中です: %2</translation>
    </message>
    <message>
        <source>symbolic link</source>
        <translation>シンボリックリンク</translation>
    </message>
    <message>
        <source>directory</source>
        <translation>ディレクトリ</translation>
    </message>
    <message>
        <source>device</source>
        <translation>デバイス</translation>
    </message>
    <message>
        <source>socket</source>
        <translation>ソケット</translation>
    </message>
    <message>
        <source>something that is not a regular file</source>
        <translation>通常のファイルではないもの</translation>
    </message>
    <message>
        <source>the lock file %1 is empty</source>
        <translation>ロックファイル %1 が空です</translation>
    </message>
    <message>
        <source>the lock file %1 is too large for a lock file (%2 bytes)</source>
        <translation>ロックファイル %1 はロックファイルにしては大きすぎます (%2 バイト)</translation>
    </message>
    <message>
        <source>the lock file %1 holds no PID</source>
        <translation>ロックファイル %1 に PID が書かれていません</translation>
    </message>
    <message>
        <source>the PID in the lock file %1 is a value no process can have</source>
        <translation>ロックファイル %1 の PID はどのプロセスにもありえない値です</translation>
    </message>
    <message>
        <source>the lock file %1 is not a file but a %2</source>
        <translation>ロックファイル %1 がファイルではなく %2 です</translation>
    </message>
    <message>
        <source>cannot read the lock file %1 (owner %2): %3</source>
        <translation>ロックファイル %1 (所有者 %2) を読めません: %3</translation>
    </message>
    <message>
        <source>cannot remove the old lock file %1 (owner %2): %3</source>
        <translation>古いロックファイル %1 (所有者 %2) を削除できません: %3</translation>
    </message>
    <message>
        <source>the lock file %1</source>
        <translation>ロックファイル %1</translation>
    </message>
    <message>
        <source>%1 is the kernel's console (%2). Sending test data would disturb the system, so it is not opened (to use it anyway: PARVOLO_ALLOW_CONSOLE=1)</source>
        <translation>%1 はカーネルのコンソール (%2) です。テストデータを送るとシステムの邪魔になるため開きません (使うには PARVOLO_ALLOW_CONSOLE=1)</translation>
    </message>
    <message>
        <source>%1 is a login terminal (%2). Sending test data would disturb the system, so it is not opened (to use it anyway: PARVOLO_ALLOW_CONSOLE=1)</source>
        <translation>%1 はログイン用の端末です (%2)。テストデータを送るとシステムの邪魔になるため開きません (使うには PARVOLO_ALLOW_CONSOLE=1)</translation>
    </message>
    <message>
        <source>Cannot tell whether %1 is in use: %2. Check, then remove it</source>
        <translation>%1 が使用中かどうか確かめられません: %2。確かめてから取り除いてください</translation>
    </message>
    <message>
        <source>%1 is in exclusive mode: another program is using it, or the program that used it ended without closing it</source>
        <translation>%1 は排他モードになっています: 他のプログラムが使っているか、使っていたプログラムが閉じずに終了しました</translation>
    </message>
    <message>
        <source>%2 on %1 is not connected</source>
        <translation>%1 の %2 はつながっていません</translation>
    </message>
    <message>
        <source>The link target %2 of %1 does not exist (link %3)</source>
        <translation>%1 のリンク先 %2 がありません (リンク %3)</translation>
    </message>
    <message>
        <source>Nothing is connected to %1 (%2)</source>
        <translation>%1 には何もつながっていません (%2)</translation>
    </message>
    <message>
        <source>%1. No COM number reaches a device</source>
        <translation>%1。デバイスのある COM 番号はありません</translation>
    </message>
    <message>
        <source>%1. COM numbers with a device: %2</source>
        <translation>%1。デバイスのある COM 番号: %2</translation>
    </message>
    <message>
        <source>%1 matches %2 devices: %3. Choose one with serial:NUMBER:INTERFACE</source>
        <translation>%1 に当たるデバイスが %2 つあります: %3。serial:番号:インターフェース で選んでください</translation>
    </message>
    <message>
        <source>No USB device with the serial number %1 is connected. %2</source>
        <translation>%1 のシリアル番号の USB デバイスはつながっていません。%2</translation>
    </message>
    <message>
        <source>No device has a serial number</source>
        <translation>シリアル番号のあるデバイスはありません</translation>
    </message>
    <message>
        <source>Devices with a serial number: %1</source>
        <translation>シリアル番号のあるデバイス: %1</translation>
    </message>
    <message>
        <source>%1 is still closing (the kernel is waiting for the last bytes to leave). Open it again in a moment</source>
        <translation>%1 はまだ閉じている途中です (カーネルが送信の終わりを待っています)。しばらくしてから開き直してください</translation>
    </message>
    <message>
        <source>Cannot set %2 on %1: %3</source>
        <translation>%1 に %2 を設定できません: %3</translation>
    </message>
    <message>
        <source>Cannot turn %2 of %1 %3: %4</source>
        <translation>%1 の %2 を%3にできません: %4</translation>
    </message>
    <message>
        <source>%1 is not a remote port name: %2. Give it as rfc2217://HOST:PORT</source>
        <translation>%1 はリモートポートの名前として正しくありません: %2。rfc2217://ホスト:ポート番号 の形で指定してください</translation>
    </message>
    <message>
        <source>Cannot connect to %1: host %2 not found (%3)</source>
        <translation>%1 に接続できません: ホスト %2 が見つかりません (%3)</translation>
    </message>
    <message>
        <source>Cannot connect to %1: host %2 not found (no answer to the name lookup; waited %3)</source>
        <translation>%1 に接続できません: ホスト %2 が見つかりません (名前の問い合わせに答えがありません。待ち時間 %3)</translation>
    </message>
    <message>
        <source>Cannot connect to %1: %2 (the server is not running, or the port number is wrong)</source>
        <translation>%1 に接続できません: %2 (サーバーが動いていないか、ポート番号が違います)</translation>
    </message>
    <message>
        <source>Cannot connect to %1: %2</source>
        <translation>%1 に接続できません: %2</translation>
    </message>
    <message>
        <source>Cannot connect to %1: no answer to the connection (waited %2)</source>
        <translation>%1 に接続できません: 接続に答えがありません (待ち時間 %2)</translation>
    </message>
    <message>
        <source>The server of %1 does not answer: no answer to %2 (waited %3)</source>
        <translation>%1 のサーバーが応答しません: %2に答えがありません (待ち時間 %3)</translation>
    </message>
    <message>
        <source>The server of %1 refused Telnet COM port control. Neither the line settings nor RTS/DTR could be changed, so it is not opened</source>
        <translation>%1 のサーバーは Telnet の COM ポート制御を断りました。通信設定も RTS/DTR も変えられないため開きません</translation>
    </message>
    <message>
        <source>The server of %1 closed the connection</source>
        <translation>%1 のサーバーが接続を切りました</translation>
    </message>
    <message>
        <source>%1: "%2"</source>
        <translation>%1: 「%2」</translation>
    </message>
    <message>
        <source>%1 was closed while it was being opened</source>
        <translation>%1 は開いている途中で閉じられました</translation>
    </message>
    <message>
        <source>it does not begin with rfc2217://</source>
        <translation>rfc2217:// で始まっていません</translation>
    </message>
    <message>
        <source>there is no host name</source>
        <translation>ホスト名がありません</translation>
    </message>
    <message>
        <source>there is no port number</source>
        <translation>ポート番号がありません</translation>
    </message>
    <message>
        <source>the port number %1 must be a number from 1 to 65535</source>
        <translation>ポート番号 %1 は 1 から 65535 までの数でなければなりません</translation>
    </message>
    <message>
        <source>there is extra text %1 after the port number</source>
        <translation>ポート番号のあとに余分な文字列 %1 があります</translation>
    </message>
    <message>
        <source>the host name %1 has characters that cannot be used</source>
        <translation>ホスト名 %1 に使えない文字があります</translation>
    </message>
    <message>
        <source>[%1] is not an IPv6 address</source>
        <translation>[%1] は IPv6 アドレスではありません</translation>
    </message>
    <message>
        <source>put an IPv6 address in [ ]</source>
        <translation>IPv6 アドレスは [ ] で囲んでください</translation>
    </message>
    <message>
        <source>the server answered %1 %2</source>
        <translation>サーバーの答えは %1 %2 です</translation>
    </message>
    <message>
        <source>the server answered code %1</source>
        <translation>サーバーの答えはコード %1 です</translation>
    </message>
    <message>
        <source>no answer from the server (waited %1)</source>
        <translation>サーバーから答えがありません (待ち時間 %1)</translation>
    </message>
    <message>
        <source>%1 s</source>
        <translation>%1 秒</translation>
    </message>
    <message>
        <source>the offer of COM port control</source>
        <translation>COM ポート制御の申し込み</translation>
    </message>
    <message>
        <source>line settings %1,%2,%3,%4</source>
        <translation>通信設定 %1,%2,%3,%4</translation>
    </message>
    <message>
        <source>baud rate %1</source>
        <translation>通信速度 %1</translation>
    </message>
    <message>
        <source>data bits %1</source>
        <translation>データビット %1</translation>
    </message>
    <message>
        <source>parity even</source>
        <translation>パリティ 偶数</translation>
    </message>
    <message>
        <source>parity odd</source>
        <translation>パリティ 奇数</translation>
    </message>
    <message>
        <source>parity mark</source>
        <translation>パリティ マーク</translation>
    </message>
    <message>
        <source>parity space</source>
        <translation>パリティ スペース</translation>
    </message>
    <message>
        <source>parity none</source>
        <translation>パリティ なし</translation>
    </message>
    <message>
        <source>stop bits %1</source>
        <translation>ストップビット %1</translation>
    </message>
    <message>
        <source>flow control RTS/CTS and Xon/Xoff</source>
        <translation>フロー制御 RTS/CTS と Xon/Xoff</translation>
    </message>
    <message>
        <source>flow control RTS/CTS</source>
        <translation>フロー制御 RTS/CTS</translation>
    </message>
    <message>
        <source>flow control Xon/Xoff</source>
        <translation>フロー制御 Xon/Xoff</translation>
    </message>
    <message>
        <source>flow control none</source>
        <translation>フロー制御 なし</translation>
    </message>
    <message>
        <source>the driver reports %1</source>
        <translation>ドライバーの値は %1 です</translation>
    </message>
    <message>
        <source>the server answered %1</source>
        <translation>サーバーの答えは %1 です</translation>
    </message>
    <message>
        <source>the baud rate must be positive</source>
        <translation>通信速度は正の値でなければなりません</translation>
    </message>
    <message>
        <source>the driver %1 does no hardware flow control</source>
        <translation>ドライバ %1 はハードウェアフロー制御を行いません</translation>
    </message>
    <message>
        <source>the driver %1 goes no faster than %2</source>
        <translation>ドライバ %1 の最高速度は %2 です</translation>
    </message>
    <message>
        <source>a remote port cannot have RTS/CTS and Xon/Xoff at once</source>
        <translation>リモートポートでは RTS/CTS と Xon/Xoff を同時には指定できません</translation>
    </message>
    <message>
        <source>%1 code %2</source>
        <translation>%1 コード %2</translation>
    </message>
    <message>
        <source>baud rate</source>
        <translation>通信速度</translation>
    </message>
    <message>
        <source>data bits</source>
        <translation>データビット</translation>
    </message>
    <message>
        <source>parity</source>
        <translation>パリティ</translation>
    </message>
    <message>
        <source>stop bits</source>
        <translation>ストップビット</translation>
    </message>
    <message>
        <source>flow control</source>
        <translation>フロー制御</translation>
    </message>
</context>
</TS>