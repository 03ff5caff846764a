// Option menu of the player command channel (k720cmmd -help).

#include <cstdio>

void k720cmmd_print_menu() {
  printf("\n\ninput command menu:\n");
  printf("\t-help\t\t\t\tthis menu\n");
  printf("\t-mount partNo ro|rw\t\tmount a disk partition read-only or read-write\n");
  printf("\t-image duration\t\t\tshow the internal image\n");
  printf("\t-rtsp\t\t\t\tend this program\n");
  printf("\t-rtp IP PORT [progPid audioPid Cx Cy W H asp alpha xyMode duration]\n");
  printf("\t-udp IP PORT [progPid audioPid Cx Cy W H asp alpha xyMode duration]\n");
  printf("\t\t\t\t\tplay a multicast stream (PIDs in hex)\n");
  printf("\t-vdbg [paramVal] [hex1 .. hex5 | text]\tdebug sub-command\n");
  printf("\t-vstat\t\t\t\tvideo statistics\n");
  printf("\t-colorbar\t\t\tcolour bar\n");
  printf("\t-osdstart\t\t\tstart the on-screen display\n");
  printf("\t-osdstop\t\t\tstop the on-screen display\n");
  printf("\t-stopall\t\t\tstop everything\n");
  printf("\t-stoppic\t\t\tstop the picture\n");
  printf("\t-stopvid\t\t\tstop the video\n");
  printf("\t-stopb\t\t\t\tstop the browser\n");
  printf("\t-trick cmmd [param]\t\tplayer control:\n");
  printf("\t\t0 VOLUME_UNMUTED, 1 VOLUME_MUTED, 2 VOLUME_CHANGE (param = volume),\n");
  printf("\t\t3 PSM_PLAYING, 4 PSM_STOPPED, 5 PSM_PAUSED, 6 PSM_FORWARD, 7 PSM_REWIND,\n");
  printf("\t\t8 PSM_SLOW_FORWARD, 9 PSM_FAST_FORWARD\n");
  printf("\t-res index\t\t\toutput resolution\n");
  printf("\t-vs Cx Cy W H asp alpha [xyMode]\tvideo layer geometry\n");
  printf("\t-ps Cx Cy W H asp alpha [xyMode]\tbrowser layer geometry\n");
  printf("\t-os Cx Cy W H asp alpha [xyMode]\tpicture layer geometry\n");
  printf("\t-video fname [loop duration Cx Cy W H asp alpha xyMode]\tplay a video file\n");
  printf("\t-vnext fname [loop duration Cx Cy W H asp alpha xyMode]\tnext video file\n");
  printf("\t-browser url [duration Cx Cy W H asp alpha xyMode]\tshow a URL\n");
  printf("\t-bnext url [duration Cx Cy W H asp alpha xyMode]\tnext URL\n");
  printf("\t-pic fname [duration Cx Cy W H asp alpha xyMode]\tshow a picture\n");
  printf("\t-pnext fname [duration Cx Cy W H asp alpha xyMode]\tnext picture\n");
  printf("\t-hwc msg [duration [position]]\tmessage at the hardware cursor (12 characters;\n");
  printf("\t\tposition 0 bottom-left, 1 top-left, 2 bottom-right, 3 top-right,\n");
  printf("\t\t4 top-centre, 5 middle-centre, 6 bottom-centre)\n");
  printf("\t-atsc [chId [subId [duration]]]\tplay an ATSC channel from the tuner\n");
  printf("\t-scan [subCmmd]\t\t\ttuner scan: 1 start, 0 stop\n");
  printf("\t-hostip name\t\t\tresolve a host name\n");
  printf("\t-hostname address\t\treverse lookup of an address\n");
  printf("\t-vdbg sub-codes:\n");
  printf("\t\t0 read state; 1 read and clear state; 2 toggle the video FIFO monitor;\n");
  printf("\t\t3 dump video data to a file; 4 exit the player;\n");
  printf("\t\t5 set the multicast-enable flag / get the domain name;\n");
  printf("\t\t6, 7 set the domain name (text); 8 host name by IP (text);\n");
  printf("\t\t9 host IP by name (text); 10 tuner type (0 none, 1 LG H066F, 2 LG H081P);\n");
  printf("\t\t11 toggle the video-profile debug flag; 12 tuner-broadcast flag;\n");
  printf("\t\t13 caption type (0 off, 1..4 CC1..CC4, 5 HD, 6 pass-through);\n");
  printf("\t\t14 progPid audioPid (hex) for multicast from the tuner;\n");
  printf("\t\t15 0/1 tuner multicast to 239.1.2.10:10000; 16 0/1 built-in video profile;\n");
  printf("\t\t17, 18 0/1 enable/disable HDMI and analog audio; 19 reserved;\n");
  printf("\t\t20 HDMI debug level 0..2; 21 1 = dump the frame counter\n");
}
