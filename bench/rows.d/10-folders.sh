# Listing the web root's folders with their protection, against reading every
# access file with cat (the I/O floor).
folders=$(size 10000 300)
"$root/bench/make-inputs" webroot "$work/www" "$folders"
row "Folder tree listing, $folders folders" --cpu 2 \
  --ours "cd '$work' && XDG_CONFIG_HOME='$work/config' '$build/portholdctl' --root '$work/www' tree" \
  --peer "cd '$work/www' && cat */.htaccess"
