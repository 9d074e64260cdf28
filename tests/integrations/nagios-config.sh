# Sourced by the engines' tests. nagios_config DIR USER GROUP FILE... prints
# a Nagios main configuration that keeps everything in DIR, runs as USER and
# GROUP and loads the object files given.
nagios_config() {
  local work=$1 user=$2 group=$3
  shift 3
  {
    for f in "$@"; do echo "cfg_file=$f"; done
    cat <<CFG
log_file=$work/nagios.log
resource_file=$work/resource.cfg
status_file=$work/status.dat
status_update_interval=1
interval_length=1
max_service_check_spread=1
service_inter_check_delay_method=n
service_interleave_factor=1
service_check_timeout=60
enable_environment_macros=1
execute_host_checks=0
enable_notifications=0
retain_state_information=0
check_external_commands=0
nagios_user=$user
nagios_group=$group
lock_file=$work/nagios.lock
temp_file=$work/nagios.tmp
temp_path=$work
check_result_path=$work
object_cache_file=$work/objects.cache
precached_object_file=$work/objects.precache
state_retention_file=$work/retention.dat
command_file=$work/nagios.cmd
query_socket=$work/nagios.qh
illegal_macro_output_chars=\`~\$&|'"<>
CFG
  }
}
