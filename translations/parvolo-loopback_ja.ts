<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="ja_JP">
<context>
    <name>PlugTexts</name>
    <message>
        <source>Try &apos;parvolo-loopback --help&apos; for more information.</source>
        <translation>詳しくは &apos;parvolo-loopback --help&apos; を実行してください。</translation>
    </message>
    <message>
        <source>no port map directory: pass --dir, or set PARVOLO_PORT_DIR or HOME</source>
        <translation>ポートマップディレクトリを決められません: --dir を指定するか、PARVOLO_PORT_DIR または HOME を設定してください</translation>
    </message>
    <message>
        <source>cannot create a pseudo-terminal: %1</source>
        <translation>疑似端末を作成できません: %1</translation>
    </message>
    <message>
        <source>cannot make the pty master non-blocking: %1</source>
        <translation>pty のマスター側をノンブロッキングにできません: %1</translation>
    </message>
    <message>
        <source>cannot read the pty mode: %1</source>
        <translation>pty のモードを読み取れません: %1</translation>
    </message>
    <message>
        <source>cannot set the pty to raw mode: %1</source>
        <translation>pty を raw モードにできません: %1</translation>
    </message>
    <message>
        <source>cannot name the pty: %1</source>
        <translation>pty のデバイス名を取得できません: %1</translation>
    </message>
    <message>
        <source>reading the pty failed: %1</source>
        <translation>pty からの読み取りに失敗しました: %1</translation>
    </message>
    <message>
        <source>the pty closed unexpectedly</source>
        <translation>pty が予期せず閉じられました</translation>
    </message>
    <message>
        <source>writing the pty failed: %1</source>
        <translation>pty への書き込みに失敗しました: %1</translation>
    </message>
    <message>
        <source>waiting on the pty failed: %1</source>
        <translation>pty の待機に失敗しました: %1</translation>
    </message>
    <message>
        <source>link name (default COM1)</source>
        <translation>リンク名 (既定値 COM1)</translation>
    </message>
    <message>
        <source>port map directory (default $PARVOLO_PORT_DIR,
else ~/.config/parvolo/ports)</source>
        <translation>ポートマップディレクトリ (既定値 $PARVOLO_PORT_DIR、
なければ ~/.config/parvolo/ports)</translation>
    </message>
    <message>
        <source>replace COMn even if it points somewhere else</source>
        <translation>COMn が別の場所を指していても置き換える</translation>
    </message>
    <message>
        <source>read and count only, send nothing back</source>
        <translation>受信して数えるだけで、何も返さない</translation>
    </message>
    <message>
        <source>turnaround: echo each byte N ms after it arrived
(fractions allowed: 0.25)</source>
        <translation>折り返し時間: 各バイトを受信の N ms 後に返す
(小数も可: 0.25)</translation>
    </message>
    <message>
        <source>the same in whole microseconds</source>
        <translation>同じ指定をマイクロ秒の整数で</translation>
    </message>
    <message>
        <source>flip all bits of every Nth byte echoed (N, 2N, ...)</source>
        <translation>N バイト目ごとに全ビットを反転して返す (N, 2N, ...)</translation>
    </message>
    <message>
        <source>do not echo every Nth byte (N, 2N, ...)</source>
        <translation>N バイト目ごとに返さずに捨てる (N, 2N, ...)</translation>
    </message>
    <message>
        <source>echo one byte more after every Nth (N, 2N, ...)</source>
        <translation>N バイト目ごとに 1 バイト足して返す (N, 2N, ...)</translation>
    </message>
    <message>
        <source>echo every chunk read twice</source>
        <translation>読み取ったまとまりをすべて 2 回ずつ返す</translation>
    </message>
    <message>
        <source>the line&apos;s rate: bytes are taken from the client and
echoed no faster than this, each one character time
on the line</source>
        <translation>回線速度: クライアントからの受け取りも返送も
この速度を超えず、1 バイトごとに回線上の
1 文字分の時間をかける</translation>
    </message>
    <message>
        <source>send a continuous pattern at this rate, ignore input</source>
        <translation>この速度でパターンを送り続け、入力は無視する</translation>
    </message>
    <message>
        <source>pattern for --generate (default 0123456789ABCDEF)</source>
        <translation>--generate で送るパターン (既定値 0123456789ABCDEF)</translation>
    </message>
    <message>
        <source>stop generating after N bytes (and keep the line open)</source>
        <translation>N バイト送ったら送出を止める (回線は開いたまま)</translation>
    </message>
    <message>
        <source>start generating when the first byte arrives</source>
        <translation>最初のバイトを受信してから送出を始める</translation>
    </message>
    <message>
        <source>exit by itself after N ms</source>
        <translation>N ms 後に自動で終了する</translation>
    </message>
    <message>
        <source>print &apos;READY &lt;link&gt; &lt;pty&gt;&apos; once the link exists</source>
        <translation>リンクを作成したら &apos;READY &lt;link&gt; &lt;pty&gt;&apos; を出力する</translation>
    </message>
    <message>
        <source>show this help</source>
        <translation>このヘルプを表示する</translation>
    </message>
    <message>
        <source>show the version</source>
        <translation>バージョンを表示する</translation>
    </message>
    <message>
        <source>Usage: parvolo-loopback [OPTION]...</source>
        <translation>使い方: parvolo-loopback [オプション]...</translation>
    </message>
    <message>
        <source>Create a pseudo-terminal and link it as COMn in the Parvolo port map directory,
then act as the far end of the line until interrupted.</source>
        <translation>疑似端末を作成して Parvolo のポートマップディレクトリに COMn としてリンクし、
中断されるまで回線の相手側として動作します。</translation>
    </message>
    <message>
        <source>On SIGINT or SIGTERM the link is removed and a SUMMARY line is printed.</source>
        <translation>SIGINT または SIGTERM を受けるとリンクを削除し、SUMMARY 行を出力します。</translation>
    </message>
    <message>
        <source>Exit status: 0 done, 1 system error, 2 bad arguments or COMn owned by something else.</source>
        <translation>終了ステータス: 0 正常終了、1 システムエラー、2 引数の誤り、または COMn を別のものが使用中。</translation>
    </message>
    <message>
        <source>option &apos;%1&apos; needs a whole number from %2 to %3, not &apos;%4&apos;</source>
        <translation>オプション &apos;%1&apos; には %2 から %3 までの整数を指定してください (&apos;%4&apos; は不可)</translation>
    </message>
    <message>
        <source>option &apos;--dir&apos; needs a directory</source>
        <translation>オプション &apos;--dir&apos; にはディレクトリを指定してください</translation>
    </message>
    <message>
        <source>option &apos;%1&apos; needs at least one character</source>
        <translation>オプション &apos;%1&apos; には 1 文字以上を指定してください</translation>
    </message>
    <message>
        <source>option &apos;%1&apos; needs a name like COM1 (COM and a number), not &apos;%2&apos;</source>
        <translation>オプション &apos;%1&apos; には COM1 のような名前 (COM と番号) を指定してください (&apos;%2&apos; は不可)</translation>
    </message>
    <message>
        <source>option &apos;%1&apos; needs milliseconds from 0 to %2 with at most six decimals, not &apos;%3&apos;</source>
        <translation>オプション &apos;%1&apos; には 0 から %2 までのミリ秒 (小数点以下 6 桁まで) を指定してください (&apos;%3&apos; は不可)</translation>
    </message>
    <message>
        <source>unknown option &apos;%1&apos;</source>
        <translation>不明なオプションです: &apos;%1&apos;</translation>
    </message>
    <message>
        <source>unexpected argument &apos;%1&apos;</source>
        <translation>余分な引数です: &apos;%1&apos;</translation>
    </message>
    <message>
        <source>option &apos;%1&apos; takes no value</source>
        <translation>オプション &apos;%1&apos; は値をとりません</translation>
    </message>
    <message>
        <source>option &apos;%1&apos; needs a value</source>
        <translation>オプション &apos;%1&apos; には値が必要です</translation>
    </message>
    <message>
        <source>options &apos;--sink&apos; and &apos;--generate&apos; exclude each other</source>
        <translation>オプション &apos;--sink&apos; と &apos;--generate&apos; は同時に指定できません</translation>
    </message>
    <message>
        <source>option &apos;%1&apos; only applies to echo, not with &apos;%2&apos;</source>
        <translation>オプション &apos;%1&apos; はエコー時にだけ使えます。&apos;%2&apos; とは併用できません</translation>
    </message>
    <message>
        <source>option &apos;%1&apos; only applies with &apos;--generate&apos;</source>
        <translation>オプション &apos;%1&apos; は &apos;--generate&apos; と一緒にしか使えません</translation>
    </message>
    <message>
        <source>cannot create directory %1: %2</source>
        <translation>ディレクトリ %1 を作成できません: %2</translation>
    </message>
    <message>
        <source>%1 is a directory; remove it or choose another --port</source>
        <translation>%1 はディレクトリです。削除するか、別の --port を指定してください</translation>
    </message>
    <message>
        <source>%1 already points to %2, which is not a loopback plug; use --force to replace it</source>
        <translation>%1 の指す先 %2 はループバックプラグではありません。置き換えるには --force を指定してください</translation>
    </message>
    <message>
        <source>%1 exists and is not a symlink; use --force to replace it</source>
        <translation>%1 はシンボリックリンクではありません。置き換えるには --force を指定してください</translation>
    </message>
    <message>
        <source>cannot inspect %1: %2</source>
        <translation>%1 を調べられません: %2</translation>
    </message>
    <message>
        <source>cannot create symlink in %1: %2</source>
        <translation>%1 にシンボリックリンクを作成できません: %2</translation>
    </message>
    <message>
        <source>cannot create %1: %2</source>
        <translation>%1 を作成できません: %2</translation>
    </message>
    <message>
        <source>linked %1 -&gt; %2</source>
        <translation>リンクしました: %1 -&gt; %2</translation>
    </message>
    <message>
        <source>linked %1 -&gt; %2 (replaced link to %3)</source>
        <translation>リンクしました: %1 -&gt; %2 (%3 へのリンクを置き換えました)</translation>
    </message>
    <message>
        <source>linked %1 -&gt; %2 (replaced a file)</source>
        <translation>リンクしました: %1 -&gt; %2 (ファイルを置き換えました)</translation>
    </message>
    <message>
        <source>left %1 alone: it no longer points to %2</source>
        <translation>%1 はもう %2 を指していないため、そのままにしました</translation>
    </message>
    <message>
        <source>cannot remove %1: %2</source>
        <translation>%1 を削除できません: %2</translation>
    </message>
    <message>
        <source>removed %1</source>
        <translation>削除しました: %1</translation>
    </message>
</context>
</TS>
