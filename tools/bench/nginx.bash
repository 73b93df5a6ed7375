# Sourced by the benchmark scripts: nginx serving a directory on 127.0.0.1, with
# its configuration, pid, logs and temporary files in a work directory.

# start_nginx WORK PORT ROOT [logged]; in daemon mode nginx returns once it is
# listening. "logged" writes WORK/access.log: the body bytes and URI of each request.
start_nginx() {
  local work=$1 port=$2 root=$3 user_line="" access_log="access_log off;"
  [ "${4:-}" != logged ] ||
    access_log="log_format sent '\$body_bytes_sent \$request_uri'; access_log $work/access.log sent;"
  [ "$(id -u)" = 0 ] && user_line="user $(id -un);"
  mkdir -p "$work/temp"
  cat >"$work/nginx.conf" <<CONF
$user_line
worker_processes 1;
pid $work/nginx.pid;
error_log $work/error.log;
events { worker_connections 64; }
http {
    $access_log
    sendfile on;
    client_body_temp_path $work/temp;
    proxy_temp_path $work/temp;
    fastcgi_temp_path $work/temp;
    uwsgi_temp_path $work/temp;
    scgi_temp_path $work/temp;
    server {
        listen 127.0.0.1:$port;
        root $root;
    }
}
CONF
  nginx -c "$work/nginx.conf" -p "$work" 2>/dev/null
  nginx_work=$work
}

stop_nginx() {
  if [ -n "${nginx_work:-}" ]; then
    nginx -c "$nginx_work/nginx.conf" -p "$nginx_work" -s stop 2>/dev/null || true
  fi
}
