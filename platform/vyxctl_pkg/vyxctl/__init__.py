"""vyxctl: the integrator's controller of the transmitter and receiver
(UDP command protocol, discovery beacons, multicast streams).

Every subcommand takes --help and --json; errors are one line on stderr
with the exit status listed below.  DEVICE is HOST[:PORT]; commands are
sent from UDP port 52430 (--sport) because the device sends some answers
(scan progress, languages, guide) to the port that first asked for them.

  discover [--watch]                 devices announcing themselves
  status DEVICE                      STATUS, IP? and VERS decoded
  scan DEVICE [--mode M] [--channel N]   blind scan with a progress bar
  channels DEVICE [--m3u GROUPBASE]  channel list (SCAL), M3U playlist
  guide DEVICE [--xmltv FILE]        now/next of every program, XMLTV
  stream DEVICE PROGRAM... --to GROUP:PORT | --stop   (transmitter UNIT)
  play DEVICE GROUP:PORT PROGRAM | --stop             (receiver UNIT)
  lang, subs, url, reset             LANG/LAN?, SUBS/SUB?, URL, RESET
  upgrade DEVICE FILE                UPGR with progress and safe retries
  monitor DEVICE                     errors, logs, IR keys, serial bytes
  allow DEVICE[,DEVICE] CIDR... | --clear | --show   who may command it
  lineup plan|apply|status FILE      a channel lineup placed, sent, verified
  fleet status|upgrade|play|lang|reset   one operation on many devices
  serve [--listen ADDR:PORT] [--token T]   the console in a browser
  send, beacon, record, listen, ready   raw datagrams, for tests
"""

__version__ = "0.82.14"
