; Escape commands for the peripheral menu of kyt_test (entry 3, Peripheral,
; then 1, Control).  Each command line is sent to the reader as a vendor
; escape command; the line after it is the reply expected.  X in an expected
; reply matches any hex digit.  The escape command 44 xx changes the line
; speed and is refused here: use the reader menu for that.

; Firmware version query.  The reply is a five-byte header (answer code,
; two reserved bytes, firmware build, length of the text), then the model
; string and the version text: "KYT7710P_V3 1.0.1" from the simulated reader.
E0 00 00 18 00
XX XX XX XX XX  4B 59 54 37 37 31 30 50 5F 56 33  XX XX XX XX XX XX

; A vendor command the simulated reader does not know: it sends the command
; back as its reply.
E0 00 00 40 02 12 34
E0 00 00 40 02 12 34
