# Wires an 800x480 DPI panel to the CLCD (PL111) of the Cortex-A9
# daughterboard, clcd@10020000, in a decompiled vexpress-v2p-ca9 device tree,
# in place of the DVI bridge it drives: the board's kind of LCD. The panel
# gets a phandle above the tree's highest, hence two passes:
#
#   awk [-v bandwidth=0x10000000] -f lcd_panel.awk TREE.dts TREE.dts
#
# The CLCD's driver takes the deepest pixels that its max-memory-bandwidth
# allows at the panel's clock: 16 bits with the tree's own, 32 with bandwidth.
# The timings are a common 800x480 panel's (33 MHz).
function number(line,    digits, n, i) {
    match(line, /0x[0-9a-f]+/)
    digits = substr(line, RSTART + 2, RLENGTH - 2)
    for (i = 1; i <= length(digits); i++) n = n * 16 + index("0123456789abcdef", substr(digits, i, 1)) - 1
    return n
}
NR == FNR { if ($0 ~ /phandle = </ && number($0) > top) top = number($0); next }
FNR == 1 { panel = sprintf("0x%x", top + 1) }
/^\tclcd@10020000 \{/ { clcd = 1 }
clcd && /max-memory-bandwidth/ && bandwidth != "" { sub(/<0x[0-9a-f]+>/, "<" bandwidth ">") }
clcd && /remote-endpoint/ { sub(/<0x[0-9a-f]+>/, "<" panel ">") }
clcd && /phandle = </ { endpoint = sprintf("0x%x", number($0)) }
clcd && /^\t};/ { clcd = 0 }
/^};/ && endpoint != "" {
    print "\tpanel {\n\t\tcompatible = \"panel-dpi\";"
    print "\t\tport {\n\t\t\tendpoint {"
    print "\t\t\t\tremote-endpoint = <" endpoint ">;\n\t\t\t\tphandle = <" panel ">;"
    print "\t\t\t};\n\t\t};"
    print "\t\tpanel-timing {\n\t\t\tclock-frequency = <33000000>;"
    print "\t\t\thactive = <800>;\n\t\t\tvactive = <480>;"
    print "\t\t\thfront-porch = <40>;\n\t\t\thback-porch = <88>;\n\t\t\thsync-len = <128>;"
    print "\t\t\tvfront-porch = <10>;\n\t\t\tvback-porch = <33>;\n\t\t\tvsync-len = <2>;"
    print "\t\t};\n\t};"
}
{ print }
END { if (endpoint == "") { print "lcd_panel.awk: no clcd@10020000 endpoint in " FILENAME > "/dev/stderr"; exit 1 } }
